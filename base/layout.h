// What every room and velsor-pack agree on about the unpacked directory:
// how long a path in it may be, and the names velsor keeps in it and next
// to it. Each name is spelled here once.
//
// Plain constants, no system headers: velsor-pack includes this too.
#pragma once

#include <cstddef>

// Paths inside the launcher (target directory, extracted file) hold this many
// code units including the terminator.
inline constexpr size_t payload_path_capacity = 4096;

// The directory at the top of the unpacked tree that belongs to velsor, and
// the runner DLL in it (the application DLL of a packed existing program).
inline constexpr char16_t velsor_directory_name[] = u".velsor";
inline constexpr char16_t runner_entry_name[] = u".velsor\\runner.dll";
inline constexpr char16_t runner_leaf[] = u"runner.dll";

// The file in .velsor that holds a packed program's fixed arguments and
// environment settings (velsor-pack build --entry-arg, --env), written by
// the packer right after the runner and read when the program starts.
inline constexpr char16_t entry_options_leaf[] = u"entry";

// Files in .velsor: the cache's record, which only a kept directory holds;
// the in-use file each run of a cached directory holds open; the marker a
// live runner holds open in a run's directory.
inline constexpr char16_t cache_record_leaf[] = u"complete";
inline constexpr char16_t cache_in_use_leaf[] = u"in-use";
inline constexpr char16_t live_marker_leaf[] = u"live";

// The lock file of a cache's parent directory, held by the run that scans,
// retires or publishes there.
inline constexpr char16_t cache_lock_leaf[] = u".velsor-lock";

// A cache's private directory while it is being filled ("<id>.new-...")
// and one set aside to be removed ("<id>.old-...").
inline constexpr char16_t cache_private_infix[] = u".new-";
inline constexpr char16_t cache_set_aside_infix[] = u".old-";

// The first part of the default directory's name, {TEMP}\onefile_<pid>_...
#define VELSOR_RUN_PREFIX "onefile_"
inline constexpr char16_t run_prefix[] = u"" VELSOR_RUN_PREFIX;
