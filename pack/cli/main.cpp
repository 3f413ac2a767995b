// velsor-pack: turns an application directory into one launcher executable.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "pack/base/base.h"
#include "pack/cli/cli.h"

#ifndef VELSOR_VERSION
#define VELSOR_VERSION "0.0.0"
#endif

using namespace velsor;

namespace {

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;
constexpr int exit_differences = 3;

// A message as one line: control characters (a newline in a file name)
// become '?'.
std::string one_line(const char *message) {
    std::string text = message;
    for (char &c : text) {
        if (static_cast<unsigned char>(c) < 0x20) {
            c = '?';
        }
    }
    return text;
}

int show_contents(const arguments &args) {
    if (args.command == "list") {
        require(args.positional.size() == 1, "expected one FILE");
        list_payload(utf8_path(args.positional[0]), std::cout);
        return 0;
    }
    if (args.command == "extract") {
        require(args.positional.size() == 2, "expected FILE and DIR");
        extract_payload(utf8_path(args.positional[0]), utf8_path(args.positional[1]), std::cout);
        return 0;
    }
    require(args.positional.size() == 2, "expected FILE and APPDIR");
    bool same = verify_payload(utf8_path(args.positional[0]), utf8_path(args.positional[1]), std::cout);
    return same ? 0 : exit_differences;
}

int run(const arguments &args) {
    if (args.command == "block" || args.command == "build") {
        return pack(args);
    }
    if (args.command == "link") {
        return link(args);
    }
    if (args.command == "list" || args.command == "verify" || args.command == "extract") {
        return show_contents(args);
    }
    throw usage_error(args.command.empty() ? "no command given" : "unknown command " + args.command);
}

int run_main(const std::vector<std::string> &args) {
    for (const auto &a : args) {
        if (a == "--help" || a == "-h") {
            std::fputs(usage_text, stdout);
            return 0;
        }
    }
    if (args.size() == 1 && args[0] == "--version") {
        std::printf("velsor-pack %s\n", VELSOR_VERSION);
        return 0;
    }
    try {
        return run(parse_arguments(args));
    } catch (const usage_error &e) {
        std::fprintf(stderr, "velsor-pack: %s (try 'velsor-pack --help')\n", one_line(e.what()).c_str());
        return exit_usage;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "velsor-pack: error: %s\n", one_line(e.what()).c_str());
        return exit_failure;
    }
}

}  // namespace

// Arguments arrive as UTF-8 on every system: on Windows from the wide
// command line, so that names outside the ANSI code page survive.
#ifdef _WIN32
int wmain(int argc, wchar_t **argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; i++) {
        std::wstring_view wide(argv[i]);
        args.push_back(utf16_to_utf8(std::u16string(wide.begin(), wide.end())));
    }
    return run_main(args);
}
#else
int main(int argc, char **argv) { return run_main(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
