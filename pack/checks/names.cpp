// Checks on names, run before anything is written: when packing, and on a
// payload given to link, list, verify or extract.
#include <algorithm>
#include <array>

#include "pack/base/base.h"
#include "pack/checks/checks.h"
#include "payload/format.h"

namespace velsor {

namespace {

constexpr std::u16string_view forbidden_characters = u"<>:\"|?*\\";
constexpr char16_t first_printable = 0x20;

// Device names that Windows opens instead of a file, with any extension.
constexpr std::array<std::u16string_view, 22> device_names = {
    u"CON",  u"PRN",  u"AUX",  u"NUL",  u"COM1", u"COM2", u"COM3", u"COM4", u"COM5", u"COM6", u"COM7",
    u"COM8", u"COM9", u"LPT1", u"LPT2", u"LPT3", u"LPT4", u"LPT5", u"LPT6", u"LPT7", u"LPT8", u"LPT9"};

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

bool is_separator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

bool is_ascii_letter(char16_t unit) { return (unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z'); }

std::optional<std::string> part_problem(std::u16string_view part) {
    if (part.empty()) {
        return "empty path part";
    }
    if (part == u".") {
        return "'.' part in the path";
    }
    if (part == u"..") {
        return "'..' part would leave the directory";
    }
    return windows_name_problem(part);
}

}  // namespace

std::u16string folded(std::u16string_view text) {
    std::u16string out(text);
    std::transform(out.begin(), out.end(), out.begin(), fold_case);
    return out;
}

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

std::optional<std::string> unpack_name_problem(std::u16string_view name) {
    if (!name.empty() && is_separator(name.front())) {
        return "absolute path";
    }
    if (name.size() >= 2 && is_ascii_letter(name[0]) && name[1] == u':') {
        return "path with a drive letter";
    }
    if (utf8_to_utf16(utf16_to_utf8(name)) != std::u16string(name)) {
        return "name is not valid Unicode (a lone surrogate)";
    }
    size_t start = 0;
    for (size_t i = 0; i <= name.size(); i++) {
        if (i == name.size() || is_separator(name[i])) {
            if (auto problem = part_problem(name.substr(start, i - start))) {
                return problem;
            }
            start = i + 1;
        }
    }
    return std::nullopt;
}

/*-**** Clashes by letter case ****/

std::optional<std::string> name_review::clash(const std::u16string &name) {
    std::u16string key = folded(name);
    if (auto it = files_.find(key); it != files_.end()) {
        return "names differ only in letter case and would overwrite each other on Windows: " + in_quotes(it->second) +
               " and " + in_quotes(name);
    }
    if (auto it = directories_.find(key); it != directories_.end()) {
        return "file " + in_quotes(name) + " and directory of " + in_quotes(it->second) +
               " would be the same name on Windows";
    }
    // A file and a directory of the same name cannot both exist either.
    for (size_t cut = key.find(u'\\'); cut != std::u16string::npos; cut = key.find(u'\\', cut + 1)) {
        if (auto it = files_.find(key.substr(0, cut)); it != files_.end()) {
            return "file " + in_quotes(it->second) + " and directory of " + in_quotes(name) +
                   " would be the same name on Windows";
        }
    }
    files_.emplace(key, name);
    for (size_t cut = key.find(u'\\'); cut != std::u16string::npos; cut = key.find(u'\\', cut + 1)) {
        directories_.emplace(key.substr(0, cut), name);
    }
    return std::nullopt;
}

std::optional<std::string> name_review::problem(const std::u16string &name) {
    if (auto own = unpack_name_problem(name)) {
        return own;
    }
    return clash(name);
}

void check_case_collisions(const std::vector<archive_entry> &entries) {
    name_review review;
    for (const auto &e : entries) {
        if (auto clash = review.clash(e.name)) {
            throw pack_error(*clash);
        }
    }
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

}  // namespace velsor
