// The commands that write: build and block pack APPDIR, link puts a
// ready-made block into a launcher.
#include <cstdio>
#include <fstream>

#include "pack/checks/checks.h"
#include "pack/cli/cli.h"
#include "pack/image/image.h"

namespace fs = std::filesystem;

namespace velsor {

namespace {

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

void warn(const std::string &text) { std::fprintf(stderr, "velsor-pack: warning: %s\n", text.c_str()); }

// An existing program as the entry: the runner goes in first, and the
// program's subsystem, icon and version are the defaults.
void add_runner(const arguments &args, const entry_info &entry, std::vector<archive_entry> &entries,
                executable_options &options) {
    if (!options.subsystem) {
        options.subsystem = entry.headers.subsystem;
    }
    if (!args.icon || !args.version) {
        pe_source program(entries.front().source);
        program_resources own = read_program_resources(program, entry.headers);
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

// The fixed arguments and settings of a program as the entry, checked
// against its path and APPDIR; their file goes in right after the runner.
void add_entry_options(const arguments &args, std::vector<archive_entry> &entries) {
    const std::u16string &program = entries[1].name;
    check_entry_command_line(args.entry_options, program);
    std::vector<std::u16string> fixed;
    for (const auto &option : args.entry_options) {
        if (!option.setting) {
            fixed.push_back(option.text);
        }
    }
    for (const auto &warning : missing_file_warnings(entries, fixed)) {
        warn(warning);
    }
    entries.insert(entries.begin() + 1, entry_options_entry(args.entry_options));
}

// What build makes of its entry: checked, a pack_error unless the launcher
// can run it. With the check off any file goes in, yet a program is still
// known by its headers, as the check knows it, so that the runner that
// starts it goes in too: without the runner the launcher would load the
// program as an application DLL. Its name decides nothing: Windows starts
// a program by its headers, not by its extension.
std::optional<entry_info> examine_entry(const arguments &args, const fs::path &file) {
    if (args.command != "build") {
        return std::nullopt;
    }
    if (args.entry_check) {
        return check_entry(file);
    }
    try {
        entry_info entry = check_entry(file);
        if (entry.kind == entry_kind::program) {
            return entry;
        }
    } catch (const pack_error &) {
        // neither a program nor an application DLL: it goes in as it is
    }
    return std::nullopt;
}

// Collects and checks APPDIR; for build, `options` gets the entry's defaults.
std::vector<archive_entry> collect(const arguments &args, executable_options *options = nullptr) {
    auto entries = collect_entries(utf8_path(args.positional[0]), *args.entry);
    check_case_collisions(entries);
    std::optional<entry_info> entry = examine_entry(args, entries.front().source);
    bool runner = entry && entry->kind == entry_kind::program;
    if (runner || args.cache) {
        check_reserved_directory(entries);  // before velsor's own files go in
    }
    if (runner) {
        for (const auto &warning : missing_dll_warnings(entries, entry->headers)) {
            warn(warning);
        }
        add_runner(args, *entry, entries, *options);
        if (!args.entry_options.empty()) {
            add_entry_options(args, entries);
        }
    } else if (!args.entry_options.empty()) {
        throw pack_error("--entry-arg and --env need a program (an .exe) as the entry; " + *args.entry +
                         " is not one, and a DLL has no command line of its own");
    }
    if (auto warning = long_path_warning(entries)) {
        warn(*warning);
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
        warn(launcher.image.origin + " is signed; the packed executable is not (sign it instead)");
    }
    return launcher;
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

}  // namespace

int pack(const arguments &args) {
    require(args.positional.size() == 1, "expected one APPDIR");
    require(args.entry.has_value(), "--entry is required");
    require(args.output.has_value(), "-o is required");
    if (args.command == "block") {
        require(!args.launcher && !args.icon && !args.version && !args.console && !args.gui && !args.cache &&
                    !args.unpack_dir,
                "block writes no executable: --launcher, --icon, --version, --console, --gui, --cache and "
                "--unpack-dir are for build and link");
        require(args.entry_options.empty(), "--entry-arg and --env are for build, with a program as the entry");
        auto entries = collect(args);
        staged_output out(*args.output);
        with_progress(entries, [&](const progress_callback &progress) {
            return write_block(entries, out.path(), args.block, progress);
        });
        out.commit();
        return 0;
    }
    executable_options options = exe_options(args);  // before the long part
    check_entry_options(args.entry_options);
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

int link(const arguments &args) {
    require(args.positional.size() == 1, "expected one BLOCK file");
    require(args.output.has_value(), "-o is required");
    require(args.block.checksum, "--no-checksum is for build and block: link puts the block in as it is");
    require(args.entry_options.empty(), "--entry-arg and --env are for build, with a program as the entry");
    fs::path block = utf8_path(args.positional[0]);
    std::error_code error;
    std::uint64_t length = fs::file_size(block, error);
    if (error || !fs::is_regular_file(block)) {
        throw pack_error("block file not found: " + path_utf8(block));
    }
    executable_options options = exe_options(args);
    launcher_image launcher = choose_launcher(args, options);
    if (args.name_check) {
        check_block_names(block);  // what the launcher would unpack
    }
    staged_output out(*args.output);
    executable_writer exe(launcher, out.path(), options);
    exe.check_fits(length);  // before anything large is written
    exe.finish(copy_block(block, exe.block_stream()));
    out.commit();
    return 0;
}

}  // namespace velsor
