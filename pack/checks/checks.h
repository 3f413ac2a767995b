// What makes an application directory or a payload unpackable or risky on
// Windows: names Windows cannot hold or that would leave the directory,
// names that collide when letter case is ignored, paths too long for
// programs without long-path support; and an entry that the launcher could
// not run, or a program that would not start for want of a DLL.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pack/archive/archive.h"
#include "pack/pe/pe.h"

namespace velsor {

/*-**** Names ****/

// Why Windows cannot create a file or directory of this name (one path
// component), or nothing when it can.
std::optional<std::string> windows_name_problem(std::u16string_view component);

// Why an archive name could not be unpacked below a directory on Windows
// (an absolute path, a drive, an empty, "." or ".." part, or a part Windows
// cannot hold), or nothing when it can.
std::optional<std::string> unpack_name_problem(std::u16string_view name);

// Letter case folded the way Windows compares names, for the Latin, Greek and
// Cyrillic letters; other code units are returned as they are.
char16_t fold_case(char16_t unit);
std::u16string folded(std::u16string_view text);

// The names of a payload in their order, each checked against those before
// it: two names that differ only in letter case, or a file where another
// name needs a directory, would be the same file on Windows.
class name_review {
public:
    // Why `name` clashes with a name before it; nothing when it does not.
    std::optional<std::string> clash(const std::u16string &name);
    // Its own problem (unpack_name_problem), else a clash.
    std::optional<std::string> problem(const std::u16string &name);

private:
    std::map<std::u16string, std::u16string> files_;        // folded name: the name as stored
    std::map<std::u16string, std::u16string> directories_;  // folded directory: a name below it
};

// A pack_error when two entries, or an entry and a directory, would be the
// same file on Windows because their names differ only in letter case.
void check_case_collisions(const std::vector<archive_entry> &entries);

// A pack_error when APPDIR has a top-level entry named ".velsor" in any
// letter case: that directory of the unpacked tree belongs to velsor.
void check_reserved_directory(const std::vector<archive_entry> &entries);

// A target directory under a typical %TEMP%: a user name of 20 characters
// (the longest Windows allows), a 6-digit process ID, the six digits of the
// microsecond within the second, and the 11-character token.
inline constexpr std::string_view typical_target_directory =
    "C:\\Users\\abcdefghijklmnopqrst\\AppData\\Local\\Temp\\onefile_123456_123456_ABCDEFGHIJK";
inline constexpr size_t classic_path_limit = 259;  // MAX_PATH without its terminator

// A warning for the user when the longest extracted path would pass the
// classic limit; nothing otherwise.
std::optional<std::string> long_path_warning(const std::vector<archive_entry> &entries);

/*-**** The entry ****/

enum class entry_kind { application_dll, program };

struct entry_info {
    entry_kind kind = entry_kind::application_dll;
    pe_headers headers;
};

// The entry of `build`: a 64-bit DLL that exports run_code, or a 64-bit
// executable (not a DLL) for the console or GUI subsystem. A pack_error
// otherwise.
entry_info check_entry(const std::filesystem::path &file);

// A pack_error unless `file` is a 64-bit PE DLL that exports run_code.
void check_entry_dll(const std::filesystem::path &file);

// One warning for each DLL that the program `entries.front()` imports
// (import and delay-load tables) that is neither beside it in the payload
// (compared without letter case) nor a Windows system DLL: the packed
// program would not start without it.
std::vector<std::string> missing_dll_warnings(const std::vector<archive_entry> &entries, const pe_headers &headers);

// One warning for each fixed argument that names a path in the unpacked
// directory, {UNPACK_DIR} and a separator at its start or right after an
// '=', then the path to its end, that is neither a file nor a directory of
// the payload `entries` (compared without letter case).
std::vector<std::string> missing_file_warnings(const std::vector<archive_entry> &entries,
                                               const std::vector<std::u16string> &arguments);

// True for a DLL that every 64-bit Windows 10 or later has in System32, and
// for the API set names (api-ms-win-*, ext-ms-*); letter case is ignored.
bool is_system_dll(std::string_view name);

}  // namespace velsor
