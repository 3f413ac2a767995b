// Reading an existing resource section, whatever its bytes: a damaged tree
// (out of bounds, shared or looping tables, data outside the section) is a
// pack_error, and the work is bounded by the section's size.
#include <algorithm>
#include <cstdio>
#include <set>

#include "pack/pe/rsrc/rsrc.h"

namespace velsor {

using namespace rsrc_layout;

namespace {

std::string hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(v));
    return text;
}

class section_reader {
public:
    section_reader(const bytes &section, std::uint32_t rva, const std::string &origin, resource_names names)
        : section_(section), rva_(rva), origin_(origin), names_(names) {}

    void directory(std::uint32_t offset, int level, resource key, std::vector<resource> &out) {
        if (!tables_.insert(offset).second) {
            fail("table at " + hex(offset) + " is reached twice");
        }
        need(offset, directory_header_size, "directory table");
        std::uint16_t named = load_u16(section_, offset + 12);
        std::uint16_t ids = load_u16(section_, offset + 14);
        size_t count = size_t{named} + ids;
        need(offset + directory_header_size, count * directory_entry_size, "directory entries");
        for (size_t i = 0; i < count; i++) {
            size_t at = offset + directory_header_size + i * directory_entry_size;
            std::uint32_t name = load_u32(section_, at);
            std::uint32_t target = load_u32(section_, at + 4);
            if ((name & entry_is_named) != 0 && names_ == resource_names::skip_named) {
                continue;
            }
            if ((name & entry_is_named) != 0) {
                throw pack_error(origin_ + ": the resource section holds a resource named by a string, which velsor "
                                           "cannot carry over");
            }
            if (name > 0xFFFF) {
                fail("entry id " + hex(name) + " is wider than 16 bits");
            }
            std::uint16_t id = static_cast<std::uint16_t>(name);
            (level == 0 ? key.type : level == 1 ? key.id : key.language) = id;
            bool is_directory = (target & entry_is_directory) != 0;
            if (is_directory != (level < tree_levels - 1)) {
                fail(std::string(is_directory ? "a table" : "data") + " where the tree needs " +
                     (is_directory ? "data" : "a table"));
            }
            if (is_directory) {
                directory(target & ~entry_is_directory, level + 1, key, out);
            } else {
                out.push_back(leaf(target, key));
            }
        }
    }

private:
    resource leaf(std::uint32_t offset, resource key) {
        if (!data_entries_.insert(offset).second) {
            fail("data entry at " + hex(offset) + " is reached twice");
        }
        need(offset, data_entry_size, "data entry");
        std::uint32_t data_rva = load_u32(section_, offset);
        std::uint32_t size = load_u32(section_, offset + 4);
        if (data_rva < rva_ || data_rva - rva_ > section_.size() || size > section_.size() - (data_rva - rva_)) {
            fail("data of type " + std::to_string(key.type) + " id " + std::to_string(key.id) + " at RVA " +
                 hex(data_rva) + " (" + std::to_string(size) + " bytes) lies outside the section");
        }
        auto begin = section_.begin() + (data_rva - rva_);
        key.data.assign(begin, begin + size);
        return key;
    }

    void need(std::uint64_t offset, std::uint64_t size, const char *what) const {
        if (offset > section_.size() || size > section_.size() - offset) {
            fail(std::string(what) + " at " + hex(static_cast<std::uint32_t>(offset)) + " runs past the end");
        }
    }

    [[noreturn]] void fail(const std::string &why) const {
        throw pack_error(origin_ + ": damaged resource section (" + why + ")");
    }

    const bytes &section_;
    std::uint32_t rva_;
    const std::string &origin_;
    resource_names names_;
    std::set<std::uint32_t> tables_;        // a tree: no table or data entry is shared,
    std::set<std::uint32_t> data_entries_;  // which also bounds the work by the section's size
};

}  // namespace

std::vector<resource> read_resource_section(const std::vector<unsigned char> &section, std::uint32_t section_rva,
                                            const std::string &origin, resource_names names) {
    std::vector<resource> out;
    section_reader(section, section_rva, origin, names).directory(0, 0, resource{}, out);
    return out;
}

std::vector<resource> read_resources(pe_source &file, const pe_headers &headers, resource_names names) {
    pe_directory directory = headers.directory(pe_directory_resource);
    const pe_section *s = resource_section(headers);
    if (s == nullptr) {
        return {};
    }
    bytes section = read_section(file, *s);
    // The tree starts at the directory, which need not open the section.
    bytes tree(section.begin() + std::min<size_t>(directory.rva - s->virtual_address, section.size()), section.end());
    return read_resource_section(tree, directory.rva, file.name(), names);
}

const pe_section *resource_section(const pe_headers &headers) {
    pe_directory directory = headers.directory(pe_directory_resource);
    return directory.size != 0 ? section_holding(headers, directory.rva) : nullptr;
}

}  // namespace velsor
