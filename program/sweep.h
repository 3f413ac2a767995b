// Runs whose launcher was killed cannot remove their own directory; the
// next run of any packed program removes it (program/sweep.cpp).
#pragma once

// Marks the unpacked `directory` as in use by a live runner until this
// process ends.
void hold_live_marker(const wchar_t *directory);

// Removes the {TEMP}\onefile_* directories that killed runs of packed
// programs left behind, except the one named `own_name`. Silent; an entry
// that cannot be judged or removed stays.
void sweep_killed_runs(const wchar_t *own_name);
