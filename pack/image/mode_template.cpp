// The unpack modes' template: checked as the launcher will expand it, and
// stored with the block's identity for the cache.
#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>

#include "pack/image/image.h"
#include "payload/format.h"

namespace velsor {

namespace {

constexpr std::array<std::string_view, 10> known_placeholders = {
    "TEMP", "PROGRAM", "PROGRAM_BASE", "PROGRAM_DIR", "PID", "HOME", "CACHE_DIR", "RANDOM", "TIME_US", "TIME"};
// Each of these gives every run a directory of its own.
constexpr std::array<std::string_view, 4> per_run_placeholders = {"PID", "RANDOM", "TIME_US", "TIME"};
constexpr std::array<std::string_view, 4> absolute_placeholders = {"TEMP", "HOME", "CACHE_DIR", "PROGRAM_DIR"};
// The name of a fresh run's directory in the default template; the sweep of
// killed runs takes the number right after it for the launcher's process ID.
constexpr std::string_view run_directory_prefix = "ONEFILE_";
constexpr std::string_view launcher_id_placeholder = "{PID}";
constexpr size_t identity_digits = 16;
constexpr size_t largest_template = unpack_mode_template_units - 1;

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c); });
    return text;
}

bool among(const auto &names, const std::string &name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

[[noreturn]] void refuse(const std::string &text, const std::string &why) {
    throw pack_error("--unpack-dir " + text + ": " + why);
}

// The placeholder names in order, upper case; refuses what the launcher's
// expansion would fail on.
std::vector<std::string> placeholders(const std::string &text) {
    std::vector<std::string> names;
    for (size_t at = 0; at < text.size(); at++) {
        if (text[at] == '}') {
            refuse(text, "a '}' outside a placeholder");
        }
        if (text[at] != '{') {
            continue;
        }
        size_t close = text.find_first_of("{}", at + 1);
        if (close == std::string::npos || text[close] != '}') {
            refuse(text, "a '{' without its '}'");
        }
        std::string name = upper(text.substr(at + 1, close - at - 1));
        if (!among(known_placeholders, name)) {
            refuse(text, "unknown placeholder {" + text.substr(at + 1, close - at - 1) + "}");
        }
        names.push_back(name);
        at = close;
    }
    return names;
}

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// A drive "X:\", a UNC path "\\server\share", or a placeholder for a
// system folder followed by the end or a backslash.
bool starts_absolute(const std::string &text) {
    if (text.size() >= 3 && is_letter(text[0]) && text[1] == ':' && text[2] == '\\') {
        return true;
    }
    if (text.rfind("\\\\", 0) == 0) {
        size_t server_end = text.find('\\', 2);
        return server_end != std::string::npos && server_end > 2 && server_end + 1 < text.size() &&
               text[server_end + 1] != '\\';
    }
    if (text.empty() || text[0] != '{') {
        return false;
    }
    size_t close = text.find('}');
    return close != std::string::npos && among(absolute_placeholders, upper(text.substr(1, close - 1))) &&
           (close + 1 == text.size() || text[close + 1] == '\\');
}

// The program name as literal template text: braces would read as placeholders.
std::string literal_name(std::string name) {
    std::replace(name.begin(), name.end(), '{', '_');
    std::replace(name.begin(), name.end(), '}', '_');
    return name;
}

// The last component, without trailing backslashes, upper case.
std::string last_component(const std::string &text) {
    size_t end = text.find_last_not_of('\\');
    if (end == std::string::npos) {
        return "";
    }
    size_t start = text.rfind('\\', end);
    start = start == std::string::npos ? 0 : start + 1;
    return upper(text.substr(start, end + 1 - start));
}

// A packed program's run sweeps {TEMP}\onefile_* directories whose launcher,
// named by the number after "onefile_", has ended (runner/sweep.cpp). A
// directory of that shape with anything else there, a time say, would be
// taken for a killed run's and removed under a live one, so its first field
// must be the launcher's own {PID}. The check is on the text, in any letter
// case, since Windows matches names that way.
void check_run_directory_shape(const std::string &text, bool cache) {
    std::string last = last_component(text);
    if (last.rfind(run_directory_prefix, 0) != 0) {
        return;
    }
    if (cache) {
        refuse(text, "with --cache its last part must not start with onefile_, the name of a fresh run's "
                     "directory, which other runs remove once the process named after onefile_ has ended");
    }
    size_t field_end = std::min(last.find('_', run_directory_prefix.size()), last.size());
    std::string field = last.substr(run_directory_prefix.size(), field_end - run_directory_prefix.size());
    if (field != launcher_id_placeholder) {
        refuse(text, "a last part starting with onefile_ needs {PID} right after it (onefile_{PID}_...): other runs "
                     "take the number there for the launcher's process ID and remove the directory once that "
                     "process has ended");
    }
}

}  // namespace

unpack_mode checked_unpack_mode(const std::optional<std::string> &unpack_dir, bool cache,
                                const std::string &program_name) {
    std::string text = unpack_dir ? *unpack_dir : "{CACHE_DIR}\\velsor\\" + literal_name(program_name);
    std::replace(text.begin(), text.end(), '/', '\\');
    std::vector<std::string> names = placeholders(text);
    if (!starts_absolute(text)) {
        refuse(text, "it must start at a drive (X:\\), a UNC path (\\\\server\\share), {TEMP}, {HOME}, "
                     "{CACHE_DIR} or {PROGRAM_DIR}");
    }
    bool per_run = std::any_of(names.begin(), names.end(),
                               [](const std::string &n) { return among(per_run_placeholders, n); });
    if (!cache && !among(names, "RANDOM")) {
        refuse(text, "without --cache it needs {RANDOM}, or two runs would share one directory");
    }
    if (cache && per_run) {
        refuse(text, "with --cache it must not use {PID}, {RANDOM}, {TIME} or {TIME_US}, "
                     "or no run would find the cache");
    }
    if (unpack_dir) {
        check_run_directory_shape(text, cache);
    }
    auto units = utf8_to_utf16(text);
    if (!units) {
        refuse(text, "it is not valid UTF-8");
    }
    size_t room = cache ? largest_template - identity_digits - 1 : largest_template;
    if (units->size() > room) {
        refuse(text, "longer than the " + std::to_string(room) + " UTF-16 units the executable holds");
    }
    while (cache && !units->empty() && units->back() == u'\\') {
        units->pop_back();
    }
    return unpack_mode{cache, *units};
}

std::u16string stored_template(const unpack_mode &mode, std::uint64_t block_identity) {
    if (!mode.cache) {
        return mode.path_template;
    }
    char digits[identity_digits + 1];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(block_identity));
    return mode.path_template + u"\\" + std::u16string(digits, digits + identity_digits);
}

void block_identity::add(const unsigned char *data, size_t size) {
    for (size_t i = 0; i < size; i++) {
        hash_ = (hash_ ^ data[i]) * 0x100000001b3ull;
    }
}

}  // namespace velsor
