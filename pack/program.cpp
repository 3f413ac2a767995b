// Existing programs as entries, and the runner DLL that starts them.
#include "pack/program.h"

#include <algorithm>
#include <fstream>
#include <functional>

#include "pack/checks.h"
#include "pack/error.h"
#include "pack/executable.h"
#include "pack/utf16.h"
#include "payload/format.h"

namespace fs = std::filesystem;

namespace velsor {

namespace {

constexpr size_t icon_group_header = 6;   // GRPICONDIR: reserved, type, count
constexpr size_t icon_group_entry = 14;   // GRPICONDIRENTRY
constexpr size_t icon_group_entry_id = 12;

std::u16string folded(std::u16string_view text) {
    std::u16string out(text);
    std::transform(out.begin(), out.end(), out.begin(), fold_case);
    return out;
}

bytes read_range(const fs::path &file, std::uint64_t offset, std::uint64_t size) {
    std::ifstream in(file, std::ios::binary);
    bytes data(static_cast<size_t>(size));
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char *>(data.data()), static_cast<std::streamsize>(size));
    if (!in) {
        throw pack_error("cannot read the resources of " + path_utf8(file));
    }
    return data;
}

// The leaves of the section that holds the resource directory; nothing when
// the file has none.
std::vector<resource> resources_of(const fs::path &file, const pe_headers &h) {
    if (h.directories.size() <= pe_directory_resource || h.directories[pe_directory_resource].size == 0) {
        return {};
    }
    std::uint32_t rva = h.directories[pe_directory_resource].rva;
    for (const auto &s : h.sections) {
        if (rva >= s.virtual_address && rva - s.virtual_address < std::max(s.virtual_size, s.raw_size)) {
            std::uint32_t size = s.virtual_size != 0 ? std::min(s.virtual_size, s.raw_size) : s.raw_size;
            bytes section = read_range(file, s.raw_offset, size);
            // The tree starts at the directory, which need not open the section.
            bytes tree(section.begin() + std::min<size_t>(rva - s.virtual_address, section.size()), section.end());
            return read_resource_section(tree, rva, path_utf8(file), resource_names::skip_named);
        }
    }
    return {};
}

}  // namespace

entry_info check_entry(const fs::path &file) {
    std::string name = path_utf8(file);
    if (!looks_like_pe(file)) {
        throw pack_error("entry " + name + " is not a Windows DLL or program (no PE header)");
    }
    entry_info info;
    info.headers = read_pe_headers(file);
    const pe_headers &h = info.headers;
    if (h.machine != pe_machine_amd64 || h.optional_magic != pe_magic_pe32_plus) {
        throw pack_error("entry " + name + " is not a 64-bit (x86-64) PE file; the launcher is 64-bit");
    }
    if ((h.characteristics & pe_characteristic_dll) != 0) {
        check_entry_dll(file);
        return info;
    }
    if ((h.characteristics & pe_characteristic_executable) == 0) {
        throw pack_error("entry " + name + " is neither a DLL nor an executable (an object file?)");
    }
    if (h.subsystem != pe_subsystem_console && h.subsystem != pe_subsystem_gui) {
        throw pack_error("entry " + name + " is an executable for subsystem " + std::to_string(h.subsystem) +
                         ", not a console or GUI program");
    }
    info.kind = entry_kind::program;
    return info;
}

void check_reserved_directory(const std::vector<archive_entry> &entries) {
    const std::u16string reserved = folded(velsor_directory_name);
    for (const auto &e : entries) {
        std::u16string top = folded(e.name.substr(0, e.name.find(u'\\')));
        if (top == reserved) {
            throw pack_error("'" + utf16_to_utf8(e.name.substr(0, reserved.size())) +
                             "' at the top of the application directory is reserved for velsor's own files");
        }
    }
}

program_resources read_program_resources(const fs::path &file, const pe_headers &headers) {
    program_resources out;
    std::vector<resource> all = resources_of(file, headers);
    auto group = std::find_if(all.begin(), all.end(), [](const resource &r) { return r.type == rt_group_icon; });
    if (group != all.end() && group->data.size() >= icon_group_header) {
        size_t count = load_u16(group->data, 4);
        for (size_t i = 0; i < count && icon_group_header + (i + 1) * icon_group_entry <= group->data.size(); i++) {
            std::uint16_t id = load_u16(group->data, icon_group_header + i * icon_group_entry + icon_group_entry_id);
            // The icon in the group's language, else the first of that id.
            const resource *icon = nullptr;
            for (const auto &r : all) {
                bool better = icon == nullptr || (r.language == group->language && icon->language != group->language);
                if (r.type == rt_icon && r.id == id && better) {
                    icon = &r;
                }
            }
            if (icon != nullptr) {
                out.icon.push_back(*icon);
            }
        }
        out.icon.push_back(*group);
    }
    std::copy_if(all.begin(), all.end(), std::back_inserter(out.version),
                 [](const resource &r) { return r.type == rt_version; });
    return out;
}

/*-**** The runner ****/

runner_image load_runner(bytes file, std::string origin) {
    runner_image r;
    r.origin = std::move(origin);
    r.file = std::move(file);
    r.headers = parse_pe_headers(r.file, r.origin);
    auto refuse = [&](const std::string &why) { throw pack_error(r.origin + " cannot be used as the runner: " + why); };
    if (r.headers.machine != pe_machine_amd64 || r.headers.optional_magic != pe_magic_pe32_plus ||
        (r.headers.characteristics & pe_characteristic_dll) == 0) {
        refuse("it is not a 64-bit (x86-64) DLL");
    }
    auto found = find_in_sections(r.file, r.headers, program_record_marker, program_record_marker_size);
    if (found.size() != 1) {
        refuse("it has " + std::to_string(found.size()) + " program records, not one");
    }
    r.record_offset = found.front();
    if (r.record_offset + program_record_size > r.file.size()) {
        refuse("its program record is cut short");
    }
    auto path = r.file.begin() + static_cast<std::ptrdiff_t>(r.record_offset + program_record_path_offset);
    if (!std::all_of(path, path + 2 * program_record_path_units, [](unsigned char b) { return b == 0; })) {
        refuse("its program record is already filled in");
    }
    return r;
}

bytes runner_for_program(const runner_image &runner, const std::u16string &program) {
    if (program.empty() || program.size() > payload_name_max_units) {
        throw pack_error("the program's path does not fit the runner's record");
    }
    bytes file = runner.file;
    for (size_t i = 0; i < program.size(); i++) {
        store_u16(file, runner.record_offset + program_record_path_offset + 2 * i, program[i]);
    }
    std::uint64_t field = runner.headers.optional_offset + pe_optional_checksum;
    pe_checksum sum(field);
    sum.add(file.data(), file.size());
    store_u32(file, field, sum.value());
    return file;
}

archive_entry runner_entry(const runner_image &runner, const std::u16string &program) {
    archive_entry e;
    e.name = runner_entry_name;
    e.contents = runner_for_program(runner, program);
    e.size = e.contents->size();
    return e;
}

std::optional<std::u16string> runner_program(const bytes &runner) {
    auto at = std::search(runner.begin(), runner.end(), std::begin(program_record_marker),
                          std::end(program_record_marker));
    if (at == runner.end()) {
        return std::nullopt;
    }
    size_t offset = static_cast<size_t>(at - runner.begin()) + program_record_path_offset;
    std::u16string program;
    for (size_t i = 0; i < program_record_path_units && offset + 2 * i + 2 <= runner.size(); i++) {
        char16_t unit = load_u16(runner, offset + 2 * i);
        if (unit == 0) {
            break;
        }
        program.push_back(unit);
    }
    return program;
}

}  // namespace velsor
