// Writing a resource section: the directory tables, the data entries and
// the data, sorted as the loader's binary search needs.
#include <algorithm>
#include <tuple>

#include "pack/pe/rsrc/rsrc.h"

namespace velsor {

using namespace rsrc_layout;

namespace {

void put_directory_header(bytes &b, size_t id_entries) {
    append_le(b, 0, 4);  // Characteristics
    append_le(b, 0, 4);  // TimeDateStamp: none, for reproducible output
    append_le(b, 0, 2);  // MajorVersion
    append_le(b, 0, 2);  // MinorVersion
    append_le(b, 0, 2);  // NumberOfNamedEntries
    append_le(b, static_cast<std::uint16_t>(id_entries), 2);
}

struct name_node {
    std::uint16_t id;
    std::vector<size_t> leaves;  // indexes into the sorted resources
    std::uint64_t table = 0;     // offset of its language table
};

struct type_node {
    std::uint16_t type;
    std::vector<name_node> names;
    std::uint64_t table = 0;  // offset of its name table
};


}  // namespace

std::vector<unsigned char> build_resource_section(std::vector<resource> resources, std::uint32_t section_rva) {
    auto key = [](const resource &r) { return std::tuple(r.type, r.id, r.language); };
    std::stable_sort(resources.begin(), resources.end(),
                     [&](const resource &a, const resource &b) { return key(a) < key(b); });
    std::vector<type_node> types;
    for (size_t i = 0; i < resources.size(); i++) {
        const resource &r = resources[i];
        if (i > 0 && key(resources[i - 1]) == key(r)) {
            throw pack_error("two resources of type " + std::to_string(r.type) + ", id " + std::to_string(r.id) +
                             " and language " + std::to_string(r.language));
        }
        if (types.empty() || types.back().type != r.type) {
            types.push_back({r.type, {}, 0});
        }
        auto &names = types.back().names;
        if (names.empty() || names.back().id != r.id) {
            names.push_back({r.id, {}, 0});
        }
        names.back().leaves.push_back(i);
    }

    // Layout: the directory tables depth first (each type's table followed
    // by its names' tables, as GNU ld lays them out); the data entries; the data.
    std::uint64_t end = directory_header_size + types.size() * directory_entry_size;
    for (auto &t : types) {
        t.table = end;
        end += directory_header_size + t.names.size() * directory_entry_size;
        for (auto &n : t.names) {
            n.table = end;
            end += directory_header_size + n.leaves.size() * directory_entry_size;
        }
    }
    const std::uint64_t data_entries = end;
    end += resources.size() * data_entry_size;
    std::vector<std::uint64_t> data_offsets;
    for (const auto &r : resources) {
        data_offsets.push_back(end);
        end += (r.data.size() + data_alignment - 1) / data_alignment * data_alignment;
    }
    if (end > max_section_size || end > std::uint64_t{0xFFFFFFFF} - section_rva) {
        throw pack_error("the resources are too large for a resource section (" + std::to_string(end) + " bytes)");
    }

    bytes out;
    out.reserve(static_cast<size_t>(end));
    put_directory_header(out, types.size());
    for (const auto &t : types) {
        append_le(out, t.type, 4);
        append_le(out, entry_is_directory | static_cast<std::uint32_t>(t.table), 4);
    }
    for (const auto &t : types) {
        put_directory_header(out, t.names.size());
        for (const auto &n : t.names) {
            append_le(out, n.id, 4);
            append_le(out, entry_is_directory | static_cast<std::uint32_t>(n.table), 4);
        }
        for (const auto &n : t.names) {
            put_directory_header(out, n.leaves.size());
            for (size_t leaf : n.leaves) {
                append_le(out, resources[leaf].language, 4);
                append_le(out, static_cast<std::uint32_t>(data_entries + leaf * data_entry_size), 4);
            }
        }
    }
    for (size_t i = 0; i < resources.size(); i++) {
        append_le(out, section_rva + static_cast<std::uint32_t>(data_offsets[i]), 4);  // OffsetToData is an RVA
        append_le(out, static_cast<std::uint32_t>(resources[i].data.size()), 4);
        append_le(out, 0, 4);  // CodePage
        append_le(out, 0, 4);  // Reserved
    }
    for (const auto &r : resources) {
        out.insert(out.end(), r.data.begin(), r.data.end());
        pad_to(out, data_alignment);
    }
    return out;
}
}  // namespace velsor
