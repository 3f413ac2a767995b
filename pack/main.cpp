// velsor-pack: turns an application directory into one launcher executable.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "pack/block.h"
#include "pack/error.h"
#include "pack/link.h"

#ifndef VELSOR_VERSION
#define VELSOR_VERSION "0.0.0"
#endif

namespace fs = std::filesystem;
using namespace velsor;

namespace {

const char usage[] =
    "usage: velsor-pack build APPDIR --entry DLL -o OUT.exe [--level N] [--threads N] [--kit DIR]\n"
    "       velsor-pack block APPDIR --entry DLL -o OUT.bin [--level N] [--threads N]\n"
    "       velsor-pack link BLOCK.bin -o OUT.exe [--kit DIR]\n"
    "       velsor-pack --help | --version\n"
    "\n"
    "  build   pack APPDIR into one executable that runs DLL's run_code\n"
    "  block   write only the payload block (\"QZV\", one zstd frame, trailer)\n"
    "  link    link a ready-made block, as it is, into a launcher executable\n"
    "\n"
    "  --entry DLL    the application DLL, a path relative to APPDIR; packed first\n"
    "  --level N      zstd level, 1 to 22 (default 19)\n"
    "  --threads N    compression threads (default: all; the output is the same)\n"
    "  --kit DIR      launcher kit (default: ../share/velsor beside velsor-pack)\n"
    "\n"
    "exit status: 0 done, 1 bad input or failure (one line on stderr), 2 usage error\n";

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct arguments {
    std::string command;
    std::vector<std::string> positional;
    std::optional<std::string> entry;
    std::optional<fs::path> output;
    std::optional<fs::path> kit;
    block_options block;
};

int parse_number(const std::string &option, const std::string &text, int low, int high) {
    try {
        size_t used = 0;
        int value = std::stoi(text, &used);
        if (used == text.size() && value >= low && value <= high) {
            return value;
        }
    } catch (const std::exception &) {
    }
    throw usage_error(option + " takes a number from " + std::to_string(low) + " to " + std::to_string(high));
}

arguments parse_arguments(int argc, char **argv) {
    arguments args;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                throw usage_error(a + " needs a value");
            }
            return argv[++i];
        };
        if (a == "--entry") {
            args.entry = value();
        } else if (a == "-o" || a == "--output") {
            args.output = fs::path(value());
        } else if (a == "--level") {
            args.block.level = parse_number(a, value(), 1, 22);
        } else if (a == "--threads") {
            args.block.threads = parse_number(a, value(), 1, 256);
        } else if (a == "--kit") {
            args.kit = fs::path(value());
        } else if (a.size() > 1 && a[0] == '-') {
            throw usage_error("unknown option " + a);
        } else if (args.command.empty()) {
            args.command = a;
        } else {
            args.positional.push_back(a);
        }
    }
    return args;
}

// The output appears only when it is complete: it is written next to its
// final place and renamed; on failure the partial file is removed.
class staged_output {
public:
    explicit staged_output(fs::path final_path) : final_(std::move(final_path)) {
        staging_ = final_;
        staging_ += ".velsor-partial";
    }
    ~staged_output() {
        std::error_code error;
        fs::remove(staging_, error);
    }
    staged_output(const staged_output &) = delete;
    staged_output &operator=(const staged_output &) = delete;
    const fs::path &path() const { return staging_; }
    void commit() {
        std::error_code error;
        fs::rename(staging_, final_, error);
        if (error) {
            throw pack_error("cannot write " + final_.string() + ": " + error.message());
        }
    }

private:
    fs::path final_;
    fs::path staging_;
};

void require(bool condition, const char *message) {
    if (!condition) {
        throw usage_error(message);
    }
}

void pack_block(const arguments &args, const fs::path &out) {
    auto entries = collect_entries(fs::path(args.positional[0]), *args.entry);
    write_block(entries, out, args.block);
}

int run(const arguments &args) {
    if (args.command == "block" || args.command == "build") {
        require(args.positional.size() == 1, "expected one APPDIR");
        require(args.entry.has_value(), "--entry is required");
        require(args.output.has_value(), "-o is required");
        staged_output out(*args.output);
        if (args.command == "block") {
            pack_block(args, out.path());
        } else {
            fs::path kit = find_kit(args.kit);  // before the long part
            staged_output block(fs::path(out.path()).concat(".bin"));
            pack_block(args, block.path());
            link_executable(kit, block.path(), out.path());
        }
        out.commit();
        return 0;
    }
    if (args.command == "link") {
        require(args.positional.size() == 1, "expected one BLOCK file");
        require(args.output.has_value(), "-o is required");
        fs::path block(args.positional[0]);
        require(fs::is_regular_file(block), "block file not found");
        staged_output out(*args.output);
        link_executable(find_kit(args.kit), block, out.path());
        out.commit();
        return 0;
    }
    throw usage_error(args.command.empty() ? "no command given" : "unknown command " + args.command);
}

}  // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("velsor-pack %s\n", VELSOR_VERSION);
            return 0;
        }
    }
    try {
        return run(parse_arguments(argc, argv));
    } catch (const usage_error &e) {
        std::fprintf(stderr, "velsor-pack: %s\n%s", e.what(), "try 'velsor-pack --help'\n");
        return exit_usage;
    } catch (const pack_error &e) {
        std::fprintf(stderr, "velsor-pack: error: %s\n", e.what());
        return exit_failure;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "velsor-pack: error: %s\n", e.what());
        return exit_failure;
    }
}
