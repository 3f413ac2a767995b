// The program's fixed arguments and environment settings: checked as the
// runner will expand them, written as the file .velsor\entry, read back.
#include <string_view>

#include "pack/base/base.h"
#include "pack/image/image.h"
#include "payload/format.h"

namespace velsor {

namespace {

constexpr std::u16string_view entry_header = u"velsor entry 1";
constexpr char16_t argument_tag = u'a';
constexpr char16_t setting_tag = u'e';
constexpr std::u16string_view unpack_dir_placeholder = u"{UNPACK_DIR}";
constexpr std::u16string_view env_placeholder = u"{ENV:";

// A command line, and an environment value, hold at most 32,767 units.
constexpr size_t longest_text = 32767;
// The longest directory the launcher unpacks to: its path capacity less
// the terminator.
constexpr size_t longest_unpack_dir = payload_path_capacity - 1;
// The runner reads no larger file.
constexpr size_t largest_entry_file = 16u << 20;

std::string option_name(const entry_option &option) { return option.setting ? "--env" : "--entry-arg"; }

[[noreturn]] void refuse(const entry_option &option, const std::string &why) {
    throw pack_error(option_name(option) + " " + utf16_to_utf8(option.text) + ": " + why);
}

// The text as the runner expands it, with `unpack_dir` for {UNPACK_DIR} and
// nothing for {ENV:NAME}; refuses a placeholder it does not know.
std::u16string expand(const entry_option &option, std::u16string_view text, std::u16string_view unpack_dir) {
    std::u16string out;
    for (size_t at = 0; at < text.size(); at++) {
        if (text[at] != u'{') {
            out += text[at];
        } else if (at + 1 < text.size() && text[at + 1] == u'{') {
            out += u'{';
            at++;
        } else if (text.substr(at, unpack_dir_placeholder.size()) == unpack_dir_placeholder) {
            out += unpack_dir;
            at += unpack_dir_placeholder.size() - 1;
        } else {
            size_t close = text.find_first_of(u"{}", at + 1);
            if (close == std::u16string_view::npos || text[close] != u'}') {
                refuse(option, "a '{' without its '}' (write {{ for a literal '{')");
            }
            std::u16string_view placeholder = text.substr(at, close + 1 - at);
            if (placeholder.substr(0, env_placeholder.size()) != env_placeholder) {
                refuse(option, "unknown placeholder " + utf16_to_utf8(placeholder) +
                                   " (known: {UNPACK_DIR}, {ENV:NAME}, and {{ for a literal '{')");
            }
            if (placeholder.size() == env_placeholder.size() + 1) {
                refuse(option, "{ENV:} names no variable");
            }
            at = close;
        }
    }
    return out;
}

// The longest unpacked directory, with a space in it: quoted like any
// directory that has one.
std::u16string longest_directory() {
    std::u16string directory(longest_unpack_dir, u'x');
    directory[1] = u' ';
    return directory;
}

// What quote_command_line (base/text.cpp) makes of one argument: quotes when
// it is empty or holds a space, tab, line feed, vertical tab or quote; then
// a run of backslashes is doubled before a quote (which is escaped) and at
// the end.
size_t quoted_length(std::u16string_view argument) {
    if (!argument.empty() && argument.find_first_of(u" \t\n\v\"") == std::u16string_view::npos) {
        return argument.size();
    }
    size_t length = 2, backslashes = 0;
    for (char16_t unit : argument) {
        if (unit == u'\\') {
            backslashes++;
            continue;
        }
        length += unit == u'"' ? 2 * backslashes + 2 : backslashes + 1;
        backslashes = 0;
    }
    return length + 2 * backslashes;
}

void check_setting(const entry_option &option) {
    size_t equals = option.text.find(u'=');
    if (equals == std::u16string::npos) {
        refuse(option, "NAME=VALUE needed, there is no '='");
    }
    if (equals == 0) {
        refuse(option, "the NAME before the first '=' is empty");
    }
    size_t value = expand(option, std::u16string_view(option.text).substr(equals + 1), longest_directory()).size();
    if (value > longest_text) {
        refuse(option, "the value can take " + std::to_string(value) +
                           " units once {UNPACK_DIR} is expanded, more than the 32767 an environment value holds");
    }
}

}  // namespace

void check_entry_options(const std::vector<entry_option> &options) {
    for (const auto &option : options) {
        if (option.setting) {
            check_setting(option);
        } else {
            expand(option, option.text, longest_directory());
        }
    }
    if (encode_entry_options(options).size() > largest_entry_file) {
        throw pack_error("the --entry-arg and --env texts take more than 16 MiB");
    }
}

void check_entry_command_line(const std::vector<entry_option> &options, const std::u16string &program) {
    size_t length = 2 + longest_unpack_dir + 1 + program.size();  // "<directory>\<program>"
    for (const auto &option : options) {
        if (!option.setting) {
            length += 1 + quoted_length(expand(option, option.text, longest_directory()));
        }
    }
    if (length > longest_text) {
        throw pack_error("the fixed arguments do not fit a command line: with the program's path in the longest "
                         "unpacked directory (4095 units) the line takes " + std::to_string(length) +
                         " of its 32767 units");
    }
}

bytes encode_entry_options(const std::vector<entry_option> &options) {
    bytes file;
    auto put = [&](std::u16string_view text) {
        for (char16_t unit : text) {
            append_le(file, unit, 2);
        }
        append_le(file, 0, 2);
    };
    put(entry_header);
    for (const auto &option : options) {
        append_le(file, option.setting ? setting_tag : argument_tag, 2);
        put(option.text);
    }
    return file;
}

std::optional<std::vector<entry_option>> decode_entry_options(const bytes &file) {
    if (file.size() % 2 != 0) {
        return std::nullopt;
    }
    std::u16string units;
    for (size_t at = 0; at < file.size(); at += 2) {
        units += static_cast<char16_t>(load_u16(file, at));
    }
    size_t at = entry_header.size() + 1;
    if (units.size() < at || units.compare(0, at, std::u16string(entry_header) + u'\0') != 0) {
        return std::nullopt;
    }
    std::vector<entry_option> options;
    while (at < units.size()) {
        char16_t tag = units[at++];
        size_t stop = units.find(u'\0', at);
        if ((tag != argument_tag && tag != setting_tag) || stop == std::u16string::npos) {
            return std::nullopt;
        }
        options.push_back({tag == setting_tag, units.substr(at, stop - at)});
        at = stop + 1;
    }
    return options;
}

std::u16string entry_options_name() {
    return std::u16string(velsor_directory_name) + u'\\' + entry_options_leaf;
}

archive_entry entry_options_entry(const std::vector<entry_option> &options) {
    archive_entry e;
    e.name = entry_options_name();
    e.contents = encode_entry_options(options);
    e.size = e.contents->size();
    return e;
}

}  // namespace velsor
