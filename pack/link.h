// Turning a payload block into a launcher executable.
//
// The launcher kit (built with the launcher, found next to the packer in
// ../share/velsor) holds the launcher library, libzstd's decoder, the
// manifest resource and the block's translation unit. The block is
// assembled into that unit's own read-only section and its length becomes
// a compile-time constant, then everything is linked with the kit's
// cross compiler.
#pragma once

#include <filesystem>
#include <optional>

namespace velsor {

// The kit: an explicit directory, else $VELSOR_KIT, else ../share/velsor
// beside the packer executable.
std::filesystem::path find_kit(const std::optional<std::filesystem::path> &explicit_dir);

// Links `block` (used as it is, unchecked) into an executable at `out`.
void link_executable(const std::filesystem::path &kit, const std::filesystem::path &block,
                     const std::filesystem::path &out);

}  // namespace velsor
