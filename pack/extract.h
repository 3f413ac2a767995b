// `velsor-pack extract`: the files of a packed executable or a block file,
// written out for inspection.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

namespace velsor {

// Why an archive name could not be unpacked below a directory on Windows
// (an absolute path, a drive, an empty, "." or ".." part, or a part Windows
// cannot hold), or nothing when it can.
std::optional<std::string> extract_name_problem(std::u16string_view name);

// Writes every file of `file`'s payload below `dir`, which must be empty or
// not exist yet. Every name is checked before anything is written; a failure
// while writing removes what was written. Reports the totals on `out`.
void extract_payload(const std::filesystem::path &file, const std::filesystem::path &dir, std::ostream &out);

}  // namespace velsor
