// Checks on the entry: an application DLL the launcher can call, or a
// program the runner can start, with the DLLs and files it needs at hand.
#include <algorithm>
#include <set>

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

namespace {

// The payload's names as the loader would look for a DLL beside the program
// (in its own directory first), folded.
std::set<std::u16string> folded_names(const std::vector<archive_entry> &entries) {
    std::set<std::u16string> names;
    for (const auto &e : entries) {
        names.insert(folded(e.name));
    }
    return names;
}

// A DLL name from the file as printable text: it may hold any bytes.
std::string printable(std::string name) {
    std::replace_if(name.begin(), name.end(), [](char c) { return c < 0x20 || c > 0x7E; }, '?');
    return name;
}

}  // namespace

std::vector<std::string> missing_dll_warnings(const std::vector<archive_entry> &entries, const pe_headers &headers) {
    const archive_entry &program = entries.front();
    std::string name = utf16_to_utf8(program.name);
    std::vector<std::string> dlls;
    try {
        pe_source source(program.source);
        dlls = read_imported_dlls(source, headers);
    } catch (const pack_error &e) {
        return {"cannot read the DLLs that " + name + " imports, so none was checked: " + e.what()};
    }
    std::set<std::u16string> payload = folded_names(entries);
    size_t cut = program.name.rfind(u'\\');
    std::u16string directory = program.name.substr(0, cut == std::u16string::npos ? 0 : cut + 1);
    std::vector<std::string> warnings;
    for (const auto &dll : dlls) {
        auto utf16 = utf8_to_utf16(dll);
        bool beside = utf16 && payload.count(folded(directory + *utf16)) != 0;
        if (!beside && !is_system_dll(dll)) {
            warnings.push_back(name + " imports " + printable(dll) +
                               ", which is neither in APPDIR nor a Windows system DLL; the packed program will not "
                               "start without it");
        }
    }
    return warnings;
}

namespace {

constexpr std::u16string_view unpack_dir_placeholder = u"{UNPACK_DIR}";

// The path that `argument` names below {UNPACK_DIR}, backslashes only and
// without a trailing one; nothing when it names none or holds another
// placeholder.
std::optional<std::u16string> unpacked_path(std::u16string_view argument) {
    size_t at = argument.find(unpack_dir_placeholder);
    if (at == std::u16string_view::npos || (at != 0 && argument[at - 1] != u'=')) {
        return std::nullopt;
    }
    std::u16string path(argument.substr(at + unpack_dir_placeholder.size()));
    std::replace(path.begin(), path.end(), u'/', u'\\');
    while (!path.empty() && path.back() == u'\\') {
        path.pop_back();
    }
    if (path.size() < 2 || path[0] != u'\\' || path.find(u'{') != std::u16string::npos) {
        return std::nullopt;
    }
    return path.substr(1);
}

}  // namespace

std::vector<std::string> missing_file_warnings(const std::vector<archive_entry> &entries,
                                               const std::vector<std::u16string> &arguments) {
    std::set<std::u16string> names = folded_names(entries);
    std::vector<std::string> warnings;
    for (const auto &argument : arguments) {
        auto path = unpacked_path(argument);
        if (!path) {
            continue;
        }
        std::u16string file = folded(*path);
        auto below = names.lower_bound(file + u'\\');  // a directory: a name below it
        bool directory = below != names.end() && below->compare(0, file.size() + 1, file + u'\\') == 0;
        if (names.count(file) == 0 && !directory) {
            warnings.push_back("the fixed argument " + utf16_to_utf8(argument) + " names " + utf16_to_utf8(*path) +
                               ", which is not in APPDIR; the program will not find it");
        }
    }
    return warnings;
}

}  // namespace velsor
