// The data directories the packer reads: exports (is run_code there?),
// imports and delay-load imports (which DLLs a program needs), and base
// relocations (does the loader move a record's address?). Each table is
// reached through the sections and read with its size checked against the
// file, and every walk is bounded.
#include <algorithm>
#include <set>

#include "pack/pe/pe.h"

namespace velsor {

namespace {

constexpr std::uint32_t export_directory_size = 40;
constexpr std::uint32_t max_export_names = 1 << 20;  // sanity bounds, not format limits
constexpr std::uint64_t max_export_name_bytes = 16u << 20;
constexpr size_t max_name_length = 4096;
constexpr std::uint32_t import_descriptor_size = 20;       // IMAGE_IMPORT_DESCRIPTOR
constexpr std::uint32_t delay_descriptor_size = 32;        // IMAGE_DELAYLOAD_DESCRIPTOR
constexpr std::uint32_t delay_attribute_rva_based = 1;     // else its addresses are VAs (old linkers)
constexpr std::uint32_t max_imported_dlls = 1 << 16;
constexpr std::uint32_t base_relocation_dir64 = 10;        // IMAGE_REL_BASED_DIR64

std::uint64_t offset_or_fail(pe_source &file, const pe_headers &h, std::uint32_t rva) {
    auto offset = rva_to_file_offset(h, rva);
    if (!offset) {
        file.fail("address outside every section");
    }
    return *offset;
}

// A zero-terminated name at `rva`: a short read first, as names are short,
// then one of the longest a name may be.
std::string read_name(pe_source &file, const pe_headers &h, std::uint32_t rva, const std::string &what) {
    std::uint64_t at = offset_or_fail(file, h, rva);
    if (at >= file.size()) {
        file.fail("truncated");
    }
    for (std::uint64_t length : {std::uint64_t{64}, std::uint64_t{max_name_length + 1}}) {
        bytes text = file.read(at, std::min(length, file.size() - at));
        auto end = std::find(text.begin(), text.end(), 0);
        if (end != text.end()) {
            return std::string(text.begin(), end);
        }
        if (text.size() < length) {
            break;  // the file ends first
        }
    }
    file.fail(what + " name too long");
}

// Names in order, each once whatever its letter case.
struct dll_names {
    std::vector<std::string> names;
    std::set<std::string> seen;

    void add(std::string name) {
        if (seen.insert(ascii_lower(name)).second) {
            names.push_back(std::move(name));
        }
    }
};

// The DLL names of a descriptor table: a run of `size`-byte descriptors up to
// one without a name, each naming its DLL at `name_at`.
void read_descriptor_names(pe_source &file, const pe_headers &h, size_t directory, std::uint32_t size,
                           std::uint32_t name_at, dll_names &names) {
    std::uint32_t rva = h.directory(directory).rva;
    if (rva == 0) {
        return;
    }
    const bool delay = directory == pe_directory_delay_import;
    for (std::uint32_t i = 0;; i++) {
        if (i == max_imported_dlls) {
            file.fail("import table without its end");
        }
        bytes descriptor = file.read(offset_or_fail(file, h, rva + i * size), size);
        std::uint32_t name = load_u32(descriptor, name_at);
        if (name == 0 || (!delay && load_u32(descriptor, 16) == 0)) {  // no name, or no address table
            return;
        }
        if (delay && (load_u32(descriptor, 0) & delay_attribute_rva_based) == 0 && name >= h.image_base) {
            name = static_cast<std::uint32_t>(name - h.image_base);
        }
        names.add(read_name(file, h, name, "imported DLL"));
    }
}

}  // namespace

std::vector<std::string> read_export_names(pe_source &file, const pe_headers &headers) {
    std::uint32_t export_rva = headers.directory(pe_directory_export).rva;
    if (export_rva == 0) {
        return {};
    }
    auto directory = file.read(offset_or_fail(file, headers, export_rva), export_directory_size);
    std::uint32_t name_count = load_u32(directory, 24);
    std::uint32_t names_rva = load_u32(directory, 32);
    if (name_count > max_export_names) {
        file.fail("implausible export count");
    }
    std::vector<std::string> names;
    if (name_count == 0) {
        return names;
    }
    auto name_rvas = file.read(offset_or_fail(file, headers, names_rva), std::uint64_t{name_count} * 4);
    std::uint64_t name_bytes = 0;
    for (size_t i = 0; i < name_count; i++) {
        names.push_back(read_name(file, headers, load_u32(name_rvas, i * 4), "export"));
        name_bytes += names.back().size();
        if (name_bytes > max_export_name_bytes) {
            file.fail("implausibly long export names");
        }
    }
    return names;
}

std::vector<std::string> read_imported_dlls(pe_source &file, const pe_headers &headers) {
    dll_names names;
    read_descriptor_names(file, headers, pe_directory_import, import_descriptor_size, 12, names);
    read_descriptor_names(file, headers, pe_directory_delay_import, delay_descriptor_size, 4, names);
    return std::move(names.names);
}

bool has_dir64_relocation(pe_source &file, const pe_headers &headers, std::uint32_t wanted) {
    pe_directory relocations = headers.directory(pe_directory_base_relocation);
    auto start = rva_to_file_offset(headers, relocations.rva);
    if (!start || *start >= file.size()) {
        return false;
    }
    bytes table = file.read(*start, std::min<std::uint64_t>(relocations.size, file.size() - *start));
    // Blocks: the page's RVA, the block's size, then 16-bit entries.
    for (size_t at = 0; at + 8 <= table.size();) {
        std::uint32_t page = load_u32(table, at);
        std::uint32_t size = load_u32(table, at + 4);
        if (size < 8) {
            break;
        }
        for (size_t entry = at + 8; entry + 2 <= at + size && entry + 2 <= table.size(); entry += 2) {
            std::uint16_t value = load_u16(table, entry);
            if ((value >> 12) == base_relocation_dir64 && page + (value & 0xFFF) == wanted) {
                return true;
            }
        }
        at += size;
    }
    return false;
}

}  // namespace velsor
