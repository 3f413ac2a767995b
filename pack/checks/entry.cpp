// Checks on the entry: an application DLL the launcher can call, or a
// program the runner can start.
#include <algorithm>

#include "pack/base/base.h"
#include "pack/checks/checks.h"

namespace fs = std::filesystem;

namespace velsor {

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

void check_entry_dll(const fs::path &file) {
    std::string name = path_utf8(file);
    if (!looks_like_pe(file)) {
        throw pack_error("entry " + name + " is not a Windows DLL (no PE header)");
    }
    pe_source source(file);
    pe_headers h = read_pe_headers(source);
    if (h.machine != pe_machine_amd64 || h.optional_magic != pe_magic_pe32_plus) {
        throw pack_error("entry " + name + " is not a 64-bit (x86-64) PE file; the launcher is 64-bit");
    }
    if ((h.characteristics & pe_characteristic_dll) == 0) {
        throw pack_error("entry " + name + " is not a DLL");
    }
    auto exports = read_export_names(source, h);
    if (std::find(exports.begin(), exports.end(), "run_code") == exports.end()) {
        throw pack_error("entry " + name + " does not export run_code");
    }
}

}  // namespace velsor
