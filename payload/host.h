// What reading and extracting a payload needs from the program around it.
//
// The launcher supplies these (launcher/fatal.cpp, launcher/run_state.cpp);
// the payload fuzzers supply their own, which record the outcome instead of
// ending the process. Each stop writes its line, if any, and never returns.
#pragma once

[[noreturn]] void fatal_header_missing(void);
[[noreturn]] void fatal_out_of_memory(void);
[[noreturn]] void fatal_decode_failed(void);
[[noreturn]] void fatal_unpack_failed(void);  // reads GetLastError itself
[[noreturn]] void fatal_open_for_writing(void);  // reports the current output path
[[noreturn]] void fatal_expand_failed(const wchar_t *path_template);

// A bounded copy ran out of room: abnormal end, no message.
[[noreturn]] void capacity_stop(void);

// Called by payload_open() as its last step: from here on the directory may
// hold files, and clean-up removes it.
void mark_extraction_started(void);
