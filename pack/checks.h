// What makes an application directory unpackable or risky on Windows: names
// Windows cannot hold, names that collide when letter case is ignored, paths
// too long for programs without long-path support, and an entry that the
// launcher could not run.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pack/archive.h"

namespace velsor {

// Why Windows cannot create a file or directory of this name (one path
// component), or nothing when it can.
std::optional<std::string> windows_name_problem(std::u16string_view component);

// Letter case folded the way Windows compares names, for the Latin, Greek and
// Cyrillic letters; other code units are returned as they are.
char16_t fold_case(char16_t unit);

// A pack_error when two entries, or an entry and a directory, would be the
// same file on Windows because their names differ only in letter case.
void check_case_collisions(const std::vector<archive_entry> &entries);

// A target directory under a typical %TEMP%: a user name of 20 characters
// (the longest Windows allows), a 6-digit process ID, the six digits of the
// microsecond within the second, and the 11-character token.
inline constexpr std::string_view typical_target_directory =
    "C:\\Users\\abcdefghijklmnopqrst\\AppData\\Local\\Temp\\onefile_123456_123456_ABCDEFGHIJK";
inline constexpr size_t classic_path_limit = 259;  // MAX_PATH without its terminator

// A warning for the user when the longest extracted path would pass the
// classic limit; nothing otherwise.
std::optional<std::string> long_path_warning(const std::vector<archive_entry> &entries);

// A pack_error unless `file` is a 64-bit PE DLL that exports run_code.
void check_entry_dll(const std::filesystem::path &file);

}  // namespace velsor
