// The one record finder, and the record fields as text.
#include <algorithm>
#include <functional>

#include "pack/image/records.h"

namespace velsor {

// The sections' byte ranges in the file, in file order, overlapping ones
// merged: each byte is searched once, however many sections claim it.
static std::vector<std::pair<std::uint64_t, std::uint64_t>> section_ranges(const bytes &file, const pe_headers &h) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    for (const auto &s : h.sections) {
        std::uint64_t start = std::min<std::uint64_t>(s.raw_offset, file.size());
        std::uint64_t end = std::min<std::uint64_t>(std::uint64_t{s.raw_offset} + s.raw_size, file.size());
        if (start < end) {
            ranges.emplace_back(start, end);
        }
    }
    std::sort(ranges.begin(), ranges.end());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> merged;
    for (const auto &r : ranges) {
        if (!merged.empty() && r.first < merged.back().second) {
            merged.back().second = std::max(merged.back().second, r.second);
        } else {
            merged.push_back(r);
        }
    }
    return merged;
}

std::vector<std::uint64_t> find_records(const bytes &file, const pe_headers &headers, const record_kind &kind) {
    std::vector<std::uint64_t> found;
    std::boyer_moore_searcher searcher(kind.marker, kind.marker + record_marker_size);
    for (const auto &[start, end] : section_ranges(file, headers)) {
        auto from = file.begin() + static_cast<std::ptrdiff_t>(start);
        auto to = file.begin() + static_cast<std::ptrdiff_t>(end);
        for (auto at = std::search(from, to, searcher); at != to; at = std::search(at + 1, to, searcher)) {
            found.push_back(static_cast<std::uint64_t>(at - file.begin()));
        }
    }
    return found;
}

std::optional<std::uint64_t> first_record(const bytes &file, const record_kind &kind) {
    try {
        std::vector<std::uint64_t> found = find_records(file, parse_pe_headers(file, "the record's file"), kind);
        if (found.empty() || found.front() + kind.size > file.size()) {
            return std::nullopt;
        }
        return found.front();
    } catch (const pack_error &) {
        return std::nullopt;  // no PE file: no record either
    }
}

std::u16string record_text(const bytes &file, std::uint64_t offset, size_t units) {
    std::u16string text;
    for (size_t i = 0; i < units && offset + 2 * i + 2 <= file.size(); i++) {
        char16_t unit = load_u16(file, offset + 2 * i);
        if (unit == 0) {
            break;
        }
        text.push_back(unit);
    }
    return text;
}

bool record_unfilled(const bytes &file, std::uint64_t offset, size_t size) {
    auto from = file.begin() + static_cast<std::ptrdiff_t>(offset);
    return offset + size <= file.size() && std::all_of(from, from + static_cast<std::ptrdiff_t>(size),
                                                       [](unsigned char b) { return b == 0; });
}

}  // namespace velsor
