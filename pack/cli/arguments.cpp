// velsor-pack's command line: the usage text and the parsing of the
// arguments into what the commands need.
#include "pack/base/base.h"
#include "pack/cli/cli.h"

namespace velsor {

const char usage_text[] =
    "usage: velsor-pack build APPDIR --entry DLL|EXE -o OUT.exe [--level N] [--threads N] [--no-checksum]\n"
    "                         [EXE OPTIONS]\n"
    "       velsor-pack block APPDIR --entry DLL -o OUT.bin [--level N] [--threads N] [--no-checksum]\n"
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
    "  link    put a ready-made block, as it is, into a launcher executable; a block\n"
    "          with names that extract would refuse is refused\n"
    "  list    show every file in a packed executable or block file, with sizes and totals;\n"
    "          names that extract would refuse are marked\n"
    "  verify  tell whether FILE holds exactly the files of APPDIR, and which differ;\n"
    "          a name that extract would refuse is a difference\n"
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
    "  --no-checksum     build, block: no content checksum at the frame's end (the\n"
    "                    launcher checks it before the application runs); the block\n"
    "                    is then byte for byte what earlier versions wrote\n"
    "  --entry-arg TEXT  build, a program as the entry: a fixed argument, put after\n"
    "                    argument 0 and before the arguments the user gives, quoted\n"
    "                    as those are (repeatable, kept in order)\n"
    "  --env NAME=VALUE  build, a program as the entry: set NAME in the program's\n"
    "                    environment (and its descendants'), replacing a value it\n"
    "                    has (repeatable). TEXT and VALUE may hold {UNPACK_DIR}, the\n"
    "                    directory the program runs from, {ENV:NAME}, NAME's value\n"
    "                    at that moment (empty when unset; an earlier --env counts),\n"
    "                    and {{ for a literal '{'; they are expanded at each start\n"
    "  --no-entry-check  build: accept any file as the entry (for test payloads); a\n"
    "                    program the check would accept still gets the runner\n"
    "  --no-name-check   link: accept names that extract would refuse (for tests of\n"
    "                    the launcher's own checks)\n"
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
    "                    a last part starting with onefile_ needs {PID} right after it;\n"
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
    "a warning: programs without long-path support could not open it. So does a\n"
    "DLL that a program as the entry imports (or delay-loads) and that is neither\n"
    "beside it in APPDIR nor a Windows system DLL: the program could not start.\n"
    "The output depends only on the files' names and contents, the entry, the\n"
    "level, the EXE OPTIONS and the packer version: packing again gives the\n"
    "same bytes.\n"
    "A progress line is drawn while packing when stderr is a terminal.\n"
    "\n"
    "exit status: 0 done (verify: identical), 1 bad input or failure (one line on\n"
    "stderr), 2 usage error, 3 verify found differences\n";

namespace {

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

entry_option parse_entry_option(const std::string &option, const std::string &text) {
    auto units = utf8_to_utf16(text);
    if (!units) {
        throw usage_error(option + " takes UTF-8 text");
    }
    return {option == "--env", *units};
}
}  // namespace

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
        } else if (a == "--entry-arg" || a == "--env") {
            args.entry_options.push_back(parse_entry_option(a, value()));
        } else if (a == "--no-entry-check") {
            args.entry_check = false;
        } else if (a == "--no-name-check") {
            args.name_check = false;
        } else if (a == "--no-checksum") {
            args.block.checksum = false;
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
void require(bool condition, const char *message) {
    if (!condition) {
        throw usage_error(message);
    }
}
}  // namespace velsor
