// Finding, decoding and walking a payload block; list and verify on top.
#include "pack/contents.h"

#include <zstd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <ostream>
#include <vector>

#include "pack/archive.h"
#include "pack/bytes.h"
#include "pack/error.h"
#include "pack/pe.h"
#include "pack/program.h"
#include "pack/utf16.h"
#include "payload/format.h"

namespace fs = std::filesystem;

namespace velsor {

namespace {

constexpr std::uint64_t block_minimum = payload_header_size + payload_trailer_size;
// The linker may round the section's size up to its alignment; the block
// ends at most this many bytes before the section does.
constexpr std::uint64_t section_padding_max = 16;
constexpr size_t read_chunk = 1 << 17;
constexpr std::uint64_t largest_runner = 16u << 20;  // a bound for keeping the runner entry in memory

std::vector<unsigned char> read_bytes(std::ifstream &in, std::uint64_t offset, size_t count) {
    std::vector<unsigned char> bytes(count);
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

// True when a block starting at `offset` could end at `end`: the byte 0x00
// and the length field L - 8 close it.
bool trailer_closes(std::ifstream &in, std::uint64_t offset, std::uint64_t end) {
    if (end < offset + block_minimum) {
        return false;
    }
    auto trailer = read_bytes(in, end - payload_trailer_size, payload_trailer_size);
    return trailer.size() == payload_trailer_size && trailer[0] == 0 &&
           load_u64(trailer, 1) == end - offset - payload_size_field_size;
}

bool header_at(std::ifstream &in, std::uint64_t offset) {
    auto header = read_bytes(in, offset, payload_header_size);
    return header.size() == payload_header_size && std::equal(header.begin(), header.end(), payload_header);
}

block_location locate_in_executable(const fs::path &file, std::ifstream &in) {
    pe_headers headers = read_pe_headers(file);
    const pe_section *section = find_section(headers, payload_section_name);
    if (section == nullptr) {
        throw pack_error(path_utf8(file) + " has no " + payload_section_name +
                         " section: not an executable made by velsor-pack");
    }
    std::uint64_t start = section->raw_offset;
    std::uint64_t content = section->virtual_size != 0 ? std::min(section->virtual_size, section->raw_size)
                                                       : section->raw_size;
    if (!header_at(in, start)) {
        throw pack_error(path_utf8(file) + ": the " + payload_section_name + " section does not start with \"QZV\"");
    }
    for (std::uint64_t pad = 0; pad <= section_padding_max && pad <= content; pad++) {
        if (trailer_closes(in, start, start + content - pad)) {
            return block_location{start, content - pad};
        }
    }
    throw pack_error(path_utf8(file) + ": no payload trailer at the end of the " + payload_section_name + " section");
}

// The entry-record parser, fed decoded bytes in pieces of any size.
class record_parser {
public:
    explicit record_parser(const archive_visitor &visitor) : visitor_(visitor) {}

    void feed(const unsigned char *p, size_t n) {
        while (n > 0 && state_ != state::done) {
            size_t used = step(p, n);
            p += used;
            n -= used;
        }
    }

    bool done() const { return state_ == state::done; }
    const archive_totals &totals() const { return totals_; }

private:
    enum class state { name, size, data, done };

    size_t step(const unsigned char *p, size_t n) {
        switch (state_) {
        case state::name:
            return take_name(p);
        case state::size:
            return take_size(p);
        case state::data:
            return take_data(p, n);
        case state::done:
            break;
        }
        return n;
    }

    size_t take_name(const unsigned char *p) {
        pending_.push_back(*p);
        if (pending_.size() < 2) {
            return 1;
        }
        char16_t unit = static_cast<char16_t>(pending_[0] | (pending_[1] << 8));
        pending_.clear();
        if (unit != 0) {
            if (name_.size() >= payload_name_max_units) {
                throw pack_error("payload is damaged: an entry name is longer than " +
                                 std::to_string(payload_name_max_units) + " code units");
            }
            name_.push_back(unit);
        } else {
            state_ = name_.empty() ? state::done : state::size;
        }
        return 1;
    }

    size_t take_size(const unsigned char *p) {
        pending_.push_back(*p);
        if (pending_.size() == payload_size_field_size) {
            left_ = load_u64(pending_, 0);
            pending_.clear();
            visitor_.begin(name_, left_);
            totals_.files++;
            totals_.bytes += left_;
            finish_if_empty();
        }
        return 1;
    }

    size_t take_data(const unsigned char *p, size_t n) {
        size_t used = static_cast<size_t>(std::min<std::uint64_t>(n, left_));
        visitor_.data(p, used);
        left_ -= used;
        finish_if_empty();
        return used;
    }

    void finish_if_empty() {
        state_ = state::data;
        if (left_ == 0) {
            visitor_.end();
            name_.clear();
            state_ = state::name;
        }
    }

    const archive_visitor &visitor_;
    state state_ = state::name;
    std::vector<unsigned char> pending_;
    std::u16string name_;
    std::uint64_t left_ = 0;
    archive_totals totals_;
};

struct dctx_deleter {
    void operator()(ZSTD_DCtx *d) const { ZSTD_freeDCtx(d); }
};

std::string display(const std::u16string &name) { return utf16_to_utf8(name); }

}  // namespace

block_location locate_block(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    std::error_code error;
    std::uint64_t size = fs::file_size(file, error);
    if (!in || error) {
        throw pack_error("cannot read " + path_utf8(file));
    }
    if (looks_like_pe(file)) {
        return locate_in_executable(file, in);
    }
    if (!header_at(in, 0) || !trailer_closes(in, 0, size)) {
        throw pack_error(path_utf8(file) + " is neither a payload block nor a packed executable");
    }
    return block_location{0, size};
}

archive_totals read_archive(const fs::path &file, const block_location &block, const archive_visitor &visitor) {
    std::ifstream in(file, std::ios::binary);
    std::unique_ptr<ZSTD_DCtx, dctx_deleter> context(ZSTD_createDCtx());
    if (!in || !context) {
        throw pack_error("cannot read " + path_utf8(file));
    }
    record_parser parser(visitor);
    std::vector<unsigned char> input(read_chunk), output(ZSTD_DStreamOutSize());
    std::uint64_t next = block.offset + payload_header_size;
    const std::uint64_t end = block.offset + block.length - payload_trailer_size;
    while (next < end && !parser.done()) {
        auto chunk = read_bytes(in, next, static_cast<size_t>(std::min<std::uint64_t>(read_chunk, end - next)));
        if (chunk.empty()) {
            throw pack_error("cannot read " + path_utf8(file));
        }
        next += chunk.size();
        ZSTD_inBuffer src{chunk.data(), chunk.size(), 0};
        while (src.pos < src.size && !parser.done()) {
            ZSTD_outBuffer dst{output.data(), output.size(), 0};
            size_t result = ZSTD_decompressStream(context.get(), &dst, &src);
            if (ZSTD_isError(result)) {
                throw pack_error("payload is damaged: " + std::string(ZSTD_getErrorName(result)));
            }
            parser.feed(output.data(), dst.pos);
        }
    }
    // The decoder may still hold output after taking all its input.
    for (size_t more = 1; more != 0 && !parser.done();) {
        ZSTD_inBuffer src{nullptr, 0, 0};
        ZSTD_outBuffer dst{output.data(), output.size(), 0};
        more = ZSTD_decompressStream(context.get(), &dst, &src);
        if (ZSTD_isError(more) || dst.pos == 0) {
            break;
        }
        parser.feed(output.data(), dst.pos);
    }
    if (!parser.done()) {
        throw pack_error("payload is damaged: the archive ends before its terminator record");
    }
    archive_totals totals = parser.totals();
    totals.compressed_bytes = block.length - block_minimum;
    return totals;
}

void list_payload(const fs::path &file, std::ostream &out) {
    block_location block = locate_block(file);
    // A runner as the first entry names the program it starts.
    bool first = true, in_runner = false;
    bytes runner;
    archive_visitor visitor{
        [&](const std::u16string &name, std::uint64_t size) {
            char size_text[32];
            std::snprintf(size_text, sizeof size_text, "%12" PRIu64 "  ", size);
            out << size_text << display(name) << '\n';
            in_runner = first && name == runner_entry_name && size <= largest_runner;
            first = false;
        },
        [&](const unsigned char *p, size_t n) {
            if (in_runner) {
                runner.insert(runner.end(), p, p + n);
            }
        },
        [&] { in_runner = false; }};
    archive_totals t = read_archive(file, block, visitor);
    if (auto program = runner_program(runner)) {
        out << "runs " << display(*program) << " (started by " << display(runner_entry_name) << ")\n";
    }
    char ratio[32] = "-";
    if (t.compressed_bytes > 0) {
        std::snprintf(ratio, sizeof ratio, "%.2f", static_cast<double>(t.bytes) / static_cast<double>(t.compressed_bytes));
    }
    out << t.files << " files, " << t.bytes << " bytes, " << t.compressed_bytes << " compressed bytes, ratio " << ratio
        << '\n';
}

namespace {

// Compares each payload entry with the file of the same name in APPDIR.
struct comparison {
    explicit comparison(std::ostream &stream) : out(stream) {}

    std::map<std::u16string, archive_entry> on_disk;
    std::map<std::u16string, bool> seen;
    std::ostream &out;
    size_t differences = 0;
    size_t entries = 0;
    size_t runners = 0;  // 1 when the payload starts with the runner

    std::u16string name;
    bool judging = false;  // the current entry has a file to compare with
    bool same = false;     // ...and matches it so far
    std::ifstream file;
    std::vector<char> buffer;

    void report(const std::string &what, const std::u16string &which) {
        out << what << ": " << display(which) << '\n';
        differences++;
    }

    void begin(const std::u16string &entry_name, std::uint64_t size) {
        name = entry_name;
        judging = false;
        file.close();
        // The runner that starts a packed program is velsor's own file.
        bool runner = entries == 0 && name == runner_entry_name;
        entries++;
        if (runner) {
            runners++;
            return;
        }
        if (seen.count(name) != 0) {
            report("repeated in the payload", name);
            return;
        }
        seen[name] = true;
        auto it = on_disk.find(name);
        if (it == on_disk.end()) {
            report("only in the payload", name);
            return;
        }
        judging = true;
        same = it->second.size == size;
        if (same) {
            file.clear();
            file.open(it->second.source, std::ios::binary);
            same = static_cast<bool>(file);
        }
    }

    void data(const unsigned char *p, size_t n) {
        if (!judging || !same) {
            return;
        }
        buffer.resize(n);
        file.read(buffer.data(), static_cast<std::streamsize>(n));
        same = static_cast<size_t>(file.gcount()) == n &&
               std::equal(buffer.begin(), buffer.end(), p,
                          [](char a, unsigned char b) { return static_cast<unsigned char>(a) == b; });
    }

    void end() {
        if (judging && !same) {
            report("differs", name);
        }
    }
};

}  // namespace

bool verify_payload(const fs::path &file, const fs::path &app_dir, std::ostream &out) {
    block_location block = locate_block(file);
    comparison cmp(out);
    for (auto &entry : collect_files(app_dir)) {
        cmp.on_disk.emplace(entry.name, entry);
    }
    archive_visitor visitor{[&](const std::u16string &n, std::uint64_t s) { cmp.begin(n, s); },
                            [&](const unsigned char *p, size_t n) { cmp.data(p, n); }, [&] { cmp.end(); }};
    archive_totals totals = read_archive(file, block, visitor);
    for (const auto &[name, entry] : cmp.on_disk) {
        if (cmp.seen.count(name) == 0) {
            cmp.report("only in " + path_utf8(app_dir), name);
        }
    }
    if (cmp.differences == 0) {
        out << path_utf8(file) << " holds exactly the " << totals.files - cmp.runners << " files of " << path_utf8(app_dir) << '\n';
        return true;
    }
    out << path_utf8(file) << " differs from " << path_utf8(app_dir) << " in " << cmp.differences
        << (cmp.differences == 1 ? " place" : " places") << '\n';
    return false;
}

}  // namespace velsor
