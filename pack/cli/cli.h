// velsor-pack's commands, for its main program: the arguments, the commands
// that write (build, block, link) and those that look into what velsor-pack
// made (list, verify, extract), and the progress line.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "pack/archive/archive.h"
#include "pack/image/image.h"
#include "pack/pe/rsrc/rsrc.h"

namespace velsor {

/*-**** Arguments ****/

extern const char usage_text[];

// A command line that cannot be run: the message, then a hint at --help.
struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct arguments {
    std::string command;
    std::vector<std::string> positional;
    std::optional<std::string> entry;
    std::optional<std::filesystem::path> output;
    std::optional<std::filesystem::path> launcher;
    std::optional<std::filesystem::path> icon;
    std::optional<std::string> version;
    version_strings strings;
    bool console = false;
    bool gui = false;
    bool cache = false;
    std::optional<std::string> unpack_dir;
    std::vector<entry_option> entry_options;  // --entry-arg and --env, in order
    block_options block;
    bool entry_check = true;
    bool name_check = true;
};

arguments parse_arguments(const std::vector<std::string> &argv);

// A usage_error with `message` unless `condition` holds.
void require(bool condition, const char *message);

/*-**** Commands ****/

// build and block.
int pack(const arguments &args);
// link; a block whose names could not be unpacked is refused first.
int link(const arguments &args);

// `velsor-pack list`: every entry with its size, names that could not be
// unpacked marked, then the totals.
void list_payload(const std::filesystem::path &file, std::ostream &out);

// `velsor-pack verify`: reports each difference between the payload and
// `app_dir` on `out` (a name that could not be unpacked is one); true when
// there is none.
bool verify_payload(const std::filesystem::path &file, const std::filesystem::path &app_dir, std::ostream &out);

// A pack_error naming the first name of the block file that could not be
// unpacked below a directory (unpack_name_problem, or a clash). A block too
// damaged to read is let through: the launcher refuses it itself.
void check_block_names(const std::filesystem::path &block);

// `velsor-pack extract`: writes every file of `file`'s payload below `dir`,
// which must be empty or not exist yet. Every name is checked before
// anything is written; a failure while writing removes what was written.
// Reports the totals on `out`.
void extract_payload(const std::filesystem::path &file, const std::filesystem::path &dir, std::ostream &out);

/*-**** Progress ****/

bool stderr_is_terminal();

// Redraws "files done/total, bytes done/total, rate" on stderr, in place, at
// most a few times a second. Does nothing when not enabled.
class progress_line {
public:
    progress_line(size_t total_files, std::uint64_t total_bytes, bool enabled);
    ~progress_line();  // ends the line, so what follows starts on its own
    progress_line(const progress_line &) = delete;
    progress_line &operator=(const progress_line &) = delete;

    void update(size_t files_done, std::uint64_t bytes_done);

private:
    void draw(size_t files_done, std::uint64_t bytes_done);

    size_t total_files_;
    std::uint64_t total_bytes_;
    bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace velsor
