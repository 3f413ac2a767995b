// velsor-pack: turns an application directory into one launcher executable.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "pack/block.h"
#include "pack/checks.h"
#include "pack/error.h"
#include "pack/contents.h"
#include "pack/link.h"
#include "pack/progress.h"

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
    "       velsor-pack list FILE\n"
    "       velsor-pack verify FILE APPDIR\n"
    "       velsor-pack --help | --version\n"
    "\n"
    "  build   pack APPDIR into one executable that runs DLL's run_code\n"
    "  block   write only the payload block (\"QZV\", one zstd frame, trailer);\n"
    "          its entry may be any file, for test and tool payloads\n"
    "  link    link a ready-made block, as it is and unchecked, into a launcher executable\n"
    "  list    show every file in a packed executable or block file, with sizes and totals\n"
    "  verify  tell whether FILE holds exactly the files of APPDIR, and which differ\n"
    "\n"
    "  --entry DLL       the application DLL, a path relative to APPDIR; packed first\n"
    "  --level N         zstd level, 1 to 22 (default 19)\n"
    "  --threads N       compression threads (default: all; the output is the same)\n"
    "  --kit DIR         launcher kit (default: ../share/velsor beside velsor-pack)\n"
    "  --no-entry-check  build: accept any file as the entry (for test payloads)\n"
    "\n"
    "What gets packed: every regular file below APPDIR. Refused, with one line\n"
    "on stderr and no output file: names Windows cannot hold (CON, aux.txt and\n"
    "the other device names, a trailing dot or space, any of <>:\"|?*\\ or a\n"
    "control character, more than 1023 UTF-16 units), two names that differ\n"
    "only in letter case, a file that changes size while it is packed, and\n"
    "(build) an entry that is not a 64-bit DLL exporting run_code.\n"
    "Symbolic links: a link to a file or directory inside APPDIR is packed as a\n"
    "copy of what it points to; a link that points outside APPDIR, points to\n"
    "nothing or makes a loop is an error.\n"
    "A path longer than 260 characters once unpacked under a typical %TEMP% gets\n"
    "a warning: programs without long-path support could not open it.\n"
    "The output depends only on the files' names and contents, the entry, the\n"
    "level and the packer version: packing again gives the same bytes.\n"
    "A progress line is drawn while packing when stderr is a terminal.\n"
    "\n"
    "exit status: 0 done (verify: identical), 1 bad input or failure (one line on\n"
    "stderr), 2 usage error, 3 verify found differences\n";

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;
constexpr int exit_differences = 3;

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
    bool entry_check = true;
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
        } else if (a == "--no-entry-check") {
            args.entry_check = false;
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

void require(bool condition, const char *message) {
    if (!condition) {
        throw usage_error(message);
    }
}

// Collects and checks APPDIR, then writes its block to `out`.
void pack_block(const arguments &args, const fs::path &out) {
    auto entries = collect_entries(fs::path(args.positional[0]), *args.entry);
    check_case_collisions(entries);
    if (args.command == "build" && args.entry_check) {
        check_entry_dll(entries.front().source);
    }
    if (auto warning = long_path_warning(entries)) {
        std::fprintf(stderr, "velsor-pack: warning: %s\n", warning->c_str());
    }
    std::uint64_t total_bytes = 0;
    for (const auto &e : entries) {
        total_bytes += e.size;
    }
    progress_line progress(entries.size(), total_bytes, stderr_is_terminal());
    write_block(entries, out, args.block,
                [&](size_t files, std::uint64_t bytes) { progress.update(files, bytes); });
}

int pack(const arguments &args) {
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

int link(const arguments &args) {
    require(args.positional.size() == 1, "expected one BLOCK file");
    require(args.output.has_value(), "-o is required");
    fs::path block(args.positional[0]);
    if (!fs::is_regular_file(block)) {
        throw pack_error("block file not found: " + block.string());
    }
    staged_output out(*args.output);
    link_executable(find_kit(args.kit), block, out.path());
    out.commit();
    return 0;
}

int show_contents(const arguments &args) {
    if (args.command == "list") {
        require(args.positional.size() == 1, "expected one FILE");
        list_payload(fs::path(args.positional[0]), std::cout);
        return 0;
    }
    require(args.positional.size() == 2, "expected FILE and APPDIR");
    bool same = verify_payload(fs::path(args.positional[0]), fs::path(args.positional[1]), std::cout);
    return same ? 0 : exit_differences;
}

int run(const arguments &args) {
    if (args.command == "block" || args.command == "build") {
        return pack(args);
    }
    if (args.command == "link") {
        return link(args);
    }
    if (args.command == "list" || args.command == "verify") {
        return show_contents(args);
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
        std::fprintf(stderr, "velsor-pack: %s (try 'velsor-pack --help')\n", one_line(e.what()).c_str());
        return exit_usage;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "velsor-pack: error: %s\n", one_line(e.what()).c_str());
        return exit_failure;
    }
}
