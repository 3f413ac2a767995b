// velsor-pack: turns an application directory into one launcher executable.
#include <cstdio>
#include <fstream>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "pack/block.h"
#include "pack/checks.h"
#include "pack/error.h"
#include "pack/contents.h"
#include "pack/executable.h"
#include "pack/extract.h"
#include "pack/program.h"
#include "pack/progress.h"
#include "pack/resources.h"
#include "pack/unpack_mode.h"
#include "pack/utf16.h"

#ifndef VELSOR_VERSION
#define VELSOR_VERSION "0.0.0"
#endif

namespace fs = std::filesystem;
using namespace velsor;

namespace {

const char usage[] =
    "usage: velsor-pack build APPDIR --entry DLL|EXE -o OUT.exe [--level N] [--threads N] [EXE OPTIONS]\n"
    "       velsor-pack block APPDIR --entry DLL -o OUT.bin [--level N] [--threads N]\n"
    "       velsor-pack link BLOCK.bin -o OUT.exe [EXE OPTIONS]\n"
    "       velsor-pack list FILE\n"
    "       velsor-pack verify FILE APPDIR\n"
    "       velsor-pack extract FILE DIR\n"
    "       velsor-pack --help | --version\n"
    "\n"
    "  build   pack APPDIR into one executable that runs DLL's run_code, or starts\n"
    "          the program EXE with the command line it is given\n"
    "  block   write only the payload block (\"QZV\", one zstd frame, trailer);\n"
    "          its entry may be any file, for test and tool payloads\n"
    "  link    put a ready-made block, as it is and unchecked, into a launcher executable\n"
    "  list    show every file in a packed executable or block file, with sizes and totals\n"
    "  verify  tell whether FILE holds exactly the files of APPDIR, and which differ\n"
    "  extract write the files of FILE into DIR, which must be empty or new; names\n"
    "          that would leave DIR or that Windows cannot hold are refused first\n"
    "\n"
    "  --entry DLL|EXE   the application DLL, or an existing 64-bit program (console\n"
    "                    or GUI), a path relative to APPDIR; packed first. For a\n"
    "                    program, velsor's runner goes in before it as\n"
    "                    .velsor\\runner.dll (APPDIR must not have a .velsor of its\n"
    "                    own), and the program's subsystem, icon and version\n"
    "                    information are the defaults of the EXE OPTIONS below\n"
    "  --level N         zstd level, 1 to 22 (default 19)\n"
    "  --threads N       compression threads (default: all; the output is the same)\n"
    "  --no-entry-check  build: accept any file as the entry (for test payloads)\n"
    "\n"
    "EXE OPTIONS, for build and link:\n"
    "  --launcher FILE   pack with this launcher build (default: the one built into\n"
    "                    velsor-pack); a signed launcher loses its signature\n"
    "  --console         a console program (for command-line tools started from a\n"
    "                    shell) instead of a GUI program (the default for a DLL: no\n"
    "                    console window of its own, uses the console of whoever\n"
    "                    starts it)\n"
    "  --gui             a GUI program, also for a console program as the entry\n"
    "  --icon FILE.ico   the executable's icon (all images of the icon file)\n"
    "  --version A.B.C.D the version resource: file and product version, each part\n"
    "                    0 to 65535; with it, these strings (each optional):\n"
    "  --product TEXT    ProductName\n"
    "  --company TEXT    CompanyName\n"
    "  --description TEXT  FileDescription\n"
    "  --copyright TEXT  LegalCopyright\n"
    "                    (OriginalFilename and InternalName come from OUT.exe)\n"
    "  --unpack-dir TEMPLATE  where the executable unpacks itself, instead of\n"
    "                    {TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}; placeholders {TEMP} {HOME}\n"
    "                    {CACHE_DIR} {PROGRAM} {PROGRAM_BASE} {PROGRAM_DIR} {PID} {RANDOM}\n"
    "                    {TIME_US} {TIME}; it starts at X:\\, \\\\server\\share, {TEMP}, {HOME},\n"
    "                    {CACHE_DIR} or {PROGRAM_DIR}, needs {RANDOM} without --cache;\n"
    "                    '/' becomes '\\'\n"
    "  --cache           keep the unpacked directory between runs (fast restarts), in\n"
    "                    {CACHE_DIR}\\velsor\\<OUT name>\\<block id>, or TEMPLATE\\<block id>;\n"
    "                    older versions' directories there are removed once unused\n"
    "\n"
    "What gets packed: every regular file below APPDIR. Refused, with one line\n"
    "on stderr and no output file: names Windows cannot hold (CON, aux.txt and\n"
    "the other device names, a trailing dot or space, any of <>:\"|?*\\ or a\n"
    "control character, more than 1023 UTF-16 units), two names that differ\n"
    "only in letter case, a file that changes size while it is packed, and\n"
    "(build) an entry that is neither a 64-bit DLL exporting run_code nor a 64-bit\n"
    "console or GUI program, and for a program an APPDIR with .velsor at its top.\n"
    "Symbolic links: a link to a file or directory inside APPDIR is packed as a\n"
    "copy of what it points to; a link that points outside APPDIR, points to\n"
    "nothing or makes a loop is an error.\n"
    "A path longer than 260 characters once unpacked under a typical %TEMP% gets\n"
    "a warning: programs without long-path support could not open it.\n"
    "The output depends only on the files' names and contents, the entry, the\n"
    "level, the EXE OPTIONS and the packer version: packing again gives the\n"
    "same bytes.\n"
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
    std::optional<fs::path> launcher;
    std::optional<fs::path> icon;
    std::optional<std::string> version;
    version_strings strings;
    bool console = false;
    bool gui = false;
    bool cache = false;
    std::optional<std::string> unpack_dir;
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

arguments parse_arguments(const std::vector<std::string> &argv) {
    arguments args;
    for (size_t i = 0; i < argv.size(); i++) {
        const std::string &a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argv.size()) {
                throw usage_error(a + " needs a value");
            }
            return argv[++i];
        };
        if (a == "--entry") {
            args.entry = value();
        } else if (a == "-o" || a == "--output") {
            args.output = utf8_path(value());
        } else if (a == "--level") {
            args.block.level = parse_number(a, value(), 1, 22);
        } else if (a == "--threads") {
            args.block.threads = parse_number(a, value(), 1, 256);
        } else if (a == "--launcher") {
            args.launcher = utf8_path(value());
        } else if (a == "--icon") {
            args.icon = utf8_path(value());
        } else if (a == "--version") {
            args.version = value();
        } else if (a == "--product") {
            args.strings.product = value();
        } else if (a == "--company") {
            args.strings.company = value();
        } else if (a == "--description") {
            args.strings.description = value();
        } else if (a == "--copyright") {
            args.strings.copyright = value();
        } else if (a == "--console") {
            args.console = true;
        } else if (a == "--gui") {
            args.gui = true;
        } else if (a == "--cache") {
            args.cache = true;
        } else if (a == "--unpack-dir") {
            args.unpack_dir = value();
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
            throw pack_error("cannot write " + path_utf8(final_) + ": " + error.message());
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

// An existing program as the entry: the runner goes in first, and the
// program's subsystem, icon and version are the defaults.
void add_runner(const arguments &args, const entry_info &entry, std::vector<archive_entry> &entries,
                executable_options &options) {
    if (!options.subsystem) {
        options.subsystem = entry.headers.subsystem;
    }
    if (!args.icon || !args.version) {
        program_resources own = read_program_resources(entries.front().source, entry.headers);
        std::vector<resource> &add = options.resources;
        if (!args.icon) {
            add.insert(add.end(), own.icon.begin(), own.icon.end());
        }
        if (!args.version) {
            add.insert(add.end(), own.version.begin(), own.version.end());
        }
    }
    entries.insert(entries.begin(), runner_entry(builtin_runner(), entries.front().name));
}

// Collects and checks APPDIR; for build, `options` gets the entry's defaults.
std::vector<archive_entry> collect(const arguments &args, executable_options *options = nullptr) {
    auto entries = collect_entries(utf8_path(args.positional[0]), *args.entry);
    check_case_collisions(entries);
    std::optional<entry_info> entry;
    if (args.command == "build" && args.entry_check) {
        entry = check_entry(entries.front().source);
    }
    bool runner = entry && entry->kind == entry_kind::program;
    if (runner || args.cache) {
        check_reserved_directory(entries);  // before velsor's own files go in
    }
    if (runner) {
        add_runner(args, *entry, entries, *options);
    }
    if (auto warning = long_path_warning(entries)) {
        std::fprintf(stderr, "velsor-pack: warning: %s\n", warning->c_str());
    }
    return entries;
}

// Runs `write(progress)`, which writes the block of `entries`, with a
// progress line drawn on a terminal.
template <typename Write>
block_stats with_progress(const std::vector<archive_entry> &entries, Write write) {
    std::uint64_t total_bytes = 0;
    for (const auto &e : entries) {
        total_bytes += e.size;
    }
    progress_line progress(entries.size(), total_bytes, stderr_is_terminal());
    return write([&](size_t files, std::uint64_t bytes) { progress.update(files, bytes); });
}

// What the EXE OPTIONS make of the executable, checked before anything is
// packed.
executable_options exe_options(const arguments &args) {
    const version_strings &v = args.strings;
    require(args.version || !(v.product || v.company || v.description || v.copyright),
            "--product, --company, --description and --copyright need --version");
    require(!(args.console && args.gui), "--console and --gui exclude each other");
    executable_options options;
    if (args.console) {
        options.subsystem = pe_subsystem_console;
    }
    if (args.gui) {
        options.subsystem = pe_subsystem_gui;
    }
    if (args.icon) {
        options.resources = icon_resources(*args.icon);
    }
    if (args.version) {
        version_strings strings = args.strings;
        strings.original_filename = path_utf8(args.output->filename());
        strings.internal_name = path_utf8(args.output->stem());
        options.resources.push_back(version_resource(parse_version_number(*args.version), strings));
    }
    if (args.cache || args.unpack_dir) {
        options.unpack = checked_unpack_mode(args.unpack_dir, args.cache, path_utf8(args.output->stem()));
    }
    return options;
}

launcher_image choose_launcher(const arguments &args, const executable_options &options) {
    launcher_image launcher = args.launcher  ? read_launcher(*args.launcher)
                              : options.unpack ? builtin_modes_launcher()
                                               : builtin_launcher();
    if (launcher.signature_dropped) {
        std::fprintf(stderr, "velsor-pack: warning: %s is signed; the packed executable is not (sign it instead)\n",
                     launcher.origin.c_str());
    }
    return launcher;
}

int pack(const arguments &args) {
    require(args.positional.size() == 1, "expected one APPDIR");
    require(args.entry.has_value(), "--entry is required");
    require(args.output.has_value(), "-o is required");
    if (args.command == "block") {
        require(!args.launcher && !args.icon && !args.version && !args.console && !args.gui && !args.cache &&
                    !args.unpack_dir,
                "block writes no executable: --launcher, --icon, --version, --console, --gui, --cache and "
                "--unpack-dir are for build and link");
        auto entries = collect(args);
        staged_output out(*args.output);
        with_progress(entries, [&](const progress_callback &progress) {
            return write_block(entries, out.path(), args.block, progress);
        });
        out.commit();
        return 0;
    }
    executable_options options = exe_options(args);  // before the long part
    launcher_image launcher = choose_launcher(args, options);
    auto entries = collect(args, &options);
    staged_output out(*args.output);
    executable_writer exe(launcher, out.path(), options);
    block_stats stats = with_progress(entries, [&](const progress_callback &progress) {
        return write_block(entries, exe.block_stream(), args.block, progress);
    });
    exe.finish(stats.block_bytes);
    out.commit();
    return 0;
}

// Copies a block file into the executable as it is.
std::uint64_t copy_block(const fs::path &block, std::ostream &out) {
    std::ifstream in(block, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    std::uint64_t copied = 0;
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
        out.write(chunk.data(), in.gcount());
        copied += static_cast<std::uint64_t>(in.gcount());
    }
    if (in.bad() || !out) {
        throw pack_error("cannot copy the block " + path_utf8(block));
    }
    return copied;
}

int link(const arguments &args) {
    require(args.positional.size() == 1, "expected one BLOCK file");
    require(args.output.has_value(), "-o is required");
    fs::path block = utf8_path(args.positional[0]);
    std::error_code error;
    std::uint64_t length = fs::file_size(block, error);
    if (error || !fs::is_regular_file(block)) {
        throw pack_error("block file not found: " + path_utf8(block));
    }
    executable_options options = exe_options(args);
    launcher_image launcher = choose_launcher(args, options);
    staged_output out(*args.output);
    executable_writer exe(launcher, out.path(), options);
    exe.check_fits(length);  // before anything large is written
    exe.finish(copy_block(block, exe.block_stream()));
    out.commit();
    return 0;
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
            std::fputs(usage, stdout);
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
