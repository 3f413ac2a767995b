// Checks on names and on the entry DLL, run before anything is written.
#include "pack/checks.h"

#include <algorithm>
#include <array>
#include <map>

#include "pack/error.h"
#include "pack/pe.h"
#include "pack/utf16.h"

namespace velsor {

namespace {

constexpr std::u16string_view forbidden_characters = u"<>:\"|?*\\";
constexpr char16_t first_printable = 0x20;

// Device names that Windows opens instead of a file, with any extension.
constexpr std::array<std::u16string_view, 22> device_names = {
    u"CON",  u"PRN",  u"AUX",  u"NUL",  u"COM1", u"COM2", u"COM3", u"COM4", u"COM5", u"COM6", u"COM7",
    u"COM8", u"COM9", u"LPT1", u"LPT2", u"LPT3", u"LPT4", u"LPT5", u"LPT6", u"LPT7", u"LPT8", u"LPT9"};

std::u16string folded(std::u16string_view text) {
    std::u16string out(text);
    std::transform(out.begin(), out.end(), out.begin(), fold_case);
    return out;
}

// The part of a name Windows matches against device names: up to the first
// dot, without trailing spaces ("aux.txt" and "con .log" are devices).
std::u16string device_stem(std::u16string_view component) {
    std::u16string_view stem = component.substr(0, component.find(u'.'));
    while (!stem.empty() && stem.back() == u' ') {
        stem.remove_suffix(1);
    }
    return folded(stem);
}

std::string in_quotes(std::u16string_view name) {
    std::string text = "'";
    text += utf16_to_utf8(name);
    text += '\'';
    return text;
}

}  // namespace

char16_t fold_case(char16_t u) {
    if ((u >= u'a' && u <= u'z') || (u >= 0xE0 && u <= 0xFE && u != 0xF7) || (u >= 0x3B1 && u <= 0x3C9 && u != 0x3C2) ||
        (u >= 0x430 && u <= 0x44F)) {
        return static_cast<char16_t>(u - 0x20);
    }
    if (u == 0xFF) {
        return 0x178;
    }
    if (u >= 0x450 && u <= 0x45F) {
        return static_cast<char16_t>(u - 0x50);
    }
    // Latin Extended-A pairs capitals on even code points with small letters
    // on odd ones, except for a few irregular letters around U+0131 and U+0178.
    bool even_pairs = (u >= 0x100 && u <= 0x137) || (u >= 0x14A && u <= 0x177);
    bool odd_pairs = (u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E);
    if ((even_pairs && u % 2 == 1) || (odd_pairs && u % 2 == 0)) {
        return static_cast<char16_t>(u - 1);
    }
    return u;
}

std::optional<std::string> windows_name_problem(std::u16string_view c) {
    for (char16_t unit : c) {
        if (unit < first_printable) {
            return "control character in name";
        }
        if (forbidden_characters.find(unit) != std::u16string_view::npos) {
            return std::string("character '") + static_cast<char>(unit) + "' is not allowed in Windows names";
        }
    }
    if (!c.empty() && (c.back() == u'.' || c.back() == u' ')) {
        return "Windows drops a trailing dot or space from names";
    }
    std::u16string stem = device_stem(c);
    if (std::find(device_names.begin(), device_names.end(), stem) != device_names.end()) {
        return "reserved device name on Windows";
    }
    return std::nullopt;
}

void check_case_collisions(const std::vector<archive_entry> &entries) {
    std::map<std::u16string, std::u16string> files;
    for (const auto &e : entries) {
        auto [it, fresh] = files.emplace(folded(e.name), e.name);
        if (!fresh) {
            throw pack_error("names differ only in letter case and would overwrite each other on Windows: " +
                             in_quotes(it->second) + " and " + in_quotes(e.name));
        }
    }
    // A file and a directory of the same name cannot both exist either.
    for (const auto &e : entries) {
        for (size_t cut = e.name.find(u'\\'); cut != std::u16string::npos; cut = e.name.find(u'\\', cut + 1)) {
            auto it = files.find(folded(std::u16string_view(e.name).substr(0, cut)));
            if (it != files.end()) {
                throw pack_error("file " + in_quotes(it->second) + " and directory of " + in_quotes(e.name) +
                                 " would be the same name on Windows");
            }
        }
    }
}

std::optional<std::string> long_path_warning(const std::vector<archive_entry> &entries) {
    const archive_entry *longest = nullptr;
    for (const auto &e : entries) {
        if (longest == nullptr || e.name.size() > longest->name.size()) {
            longest = &e;
        }
    }
    if (longest == nullptr) {
        return std::nullopt;
    }
    size_t length = typical_target_directory.size() + 1 + longest->name.size();
    if (length <= classic_path_limit) {
        return std::nullopt;
    }
    return "the path of " + in_quotes(longest->name) + " reaches " + std::to_string(length) +
           " characters under a typical %TEMP%, past the " + std::to_string(classic_path_limit + 1) +
           "-character limit (MAX_PATH) of programs without long-path support";
}

void check_entry_dll(const std::filesystem::path &file) {
    std::string name = path_utf8(file);
    if (!looks_like_pe(file)) {
        throw pack_error("entry " + name + " is not a Windows DLL (no PE header)");
    }
    pe_headers h = read_pe_headers(file);
    if (h.machine != pe_machine_amd64 || h.optional_magic != pe_magic_pe32_plus) {
        throw pack_error("entry " + name + " is not a 64-bit (x86-64) PE file; the launcher is 64-bit");
    }
    if ((h.characteristics & pe_characteristic_dll) == 0) {
        throw pack_error("entry " + name + " is not a DLL");
    }
    auto exports = read_export_names(file, h);
    if (std::find(exports.begin(), exports.end(), "run_code") == exports.end()) {
        throw pack_error("entry " + name + " does not export run_code");
    }
}

}  // namespace velsor
