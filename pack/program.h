// An existing program as the entry: what velsor-pack checks in it, the
// defaults it gives the packed executable (subsystem, icon, version), and
// the runner DLL that starts it, which goes into the payload first, under
// .velsor\runner.dll, with the program's path written into its record.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "pack/archive.h"
#include "pack/bytes.h"
#include "pack/pe.h"
#include "pack/resources.h"

namespace velsor {

enum class entry_kind { application_dll, program };

struct entry_info {
    entry_kind kind = entry_kind::application_dll;
    pe_headers headers;
};

// The entry of `build`: a 64-bit DLL that exports run_code, or a 64-bit
// executable (not a DLL) for the console or GUI subsystem. A pack_error
// otherwise.
entry_info check_entry(const std::filesystem::path &file);

// A pack_error when APPDIR has a top-level entry named ".velsor" in any
// letter case: that directory of the unpacked tree belongs to velsor.
void check_reserved_directory(const std::vector<archive_entry> &entries);

// The program's icon (its first icon group, named by a number, with the
// icons it lists) and its version resources, as they are in its resource
// section; either may be empty.
struct program_resources {
    std::vector<resource> icon;
    std::vector<resource> version;
};
program_resources read_program_resources(const std::filesystem::path &file, const pe_headers &headers);

// The runner DLL, checked: a 64-bit DLL with one unfilled program record.
struct runner_image {
    std::string origin;
    bytes file;
    pe_headers headers;
    std::uint64_t record_offset = 0;
};

runner_image load_runner(bytes file, std::string origin);

// The runner that velsor-pack carries inside itself (defined with the
// packer's main program).
runner_image builtin_runner();

// The runner's bytes with `program` (relative to the unpacked directory,
// backslashes) in its record and its PE checksum fixed up.
bytes runner_for_program(const runner_image &runner, const std::u16string &program);

// The payload's first entry for `program`: the runner, filled in.
archive_entry runner_entry(const runner_image &runner, const std::u16string &program);

// The program a filled runner names; nothing for bytes with no record.
std::optional<std::u16string> runner_program(const bytes &runner);

}  // namespace velsor
