// Host build of the payload reader and the entry walk.
//
// The two launcher sources are compiled into this translation unit so that
// their file-static state can be reset between runs; everything they call
// outside themselves (fatal reporting, run state, path helpers, Win32 file
// calls) is provided here or in fuzz_files.cpp. A fatal raise does not end
// the process: it records its outcome and jumps back to run_walk.
#include "tests/host/fuzz/walk_host.h"

#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "payload/extract.cpp"
#include "payload/reader.cpp"
#include "tests/host/fuzz/fuzz_files.h"

/*-**** Host pieces the walk calls (base/fatal.h, base/text.h, paths/template.h) ****/

static jmp_buf fatal_return;
static const wchar_t fuzz_home[] = L"C:\\Users\\fuzz";
static const wchar_t fuzz_target[] = L"C:\\Users\\fuzz\\AppData\\Local\\Temp\\onefile_1_2_abc";

[[noreturn]] static void end_with(walk_outcome outcome) { longjmp(fatal_return, (int)outcome + 1); }

[[noreturn]] void fatal_header_missing(void) { end_with(walk_header_missing); }
[[noreturn]] void fatal_out_of_memory(void) { end_with(walk_out_of_memory); }
[[noreturn]] void fatal_decode_failed(void) { end_with(walk_decode_failed); }
[[noreturn]] void fatal_unpack_failed(void) { end_with(walk_unpack_failed); }
[[noreturn]] void fatal_open_for_writing(const wchar_t *) { end_with(walk_open_failed); }
[[noreturn]] void fatal_expand_failed(const wchar_t *) { end_with(walk_expand_failed); }
[[noreturn]] void capacity_stop(void) { end_with(walk_capacity_stop); }

void copy_bounded(wchar_t *destination, const wchar_t *source, size_t capacity) {
    size_t n = fuzz_wcslen(source);
    if (n + 1 > capacity) {
        capacity_stop();
    }
    memmove(destination, source, (n + 1) * sizeof(wchar_t));
}

bool expand_path_template(wchar_t *output, const wchar_t *path_template, size_t capacity) {
    if (fuzz_wcscmp(path_template, L"{HOME}") != 0) {
        abort();  // the walk expands nothing else
    }
    copy_bounded(output, fuzz_home, capacity);
    return true;
}

/*-**** Resetting the walk ****/

static void reset_walk_state(void) {
    // reader.cpp
    payload_close();
    input = ZSTD_inBuffer{NULL, 0, 0};
    fill_level = 0;
    read_position = 0;
    // extract.cpp
    for (size_t i = 0; i < known_directory_count; i++) {
        free(known_directories[i]);
        known_directories[i] = NULL;
    }
    known_directory_count = 0;
    entry_name[0] = 0;
    output_path[0] = 0;
    dll_path[0] = 0;
    extraction_started = 0;
    for (size_t i = 0; i < run_directory_count; i++) {
        free(run_directories[i].relative);
    }
    run_directory_count = 0;
    last_used = 0;
    top_handle = INVALID_HANDLE_VALUE;
    free(written_names);
    written_names = NULL;
    written_capacity = written_count = 0;
}

static uint32_t hash_units(const wchar_t *s) {
    uint32_t h = 2166136261u;
    for (; *s != 0; s++) {
        h = (h ^ (uint32_t)(uint16_t)*s) * 16777619u;
    }
    return h;
}

/*-**** Invariants ****/

static void check(bool condition, const char *what) {
    if (!condition) {
        fprintf(stderr, "walk invariant broken: %s\n", what);
        abort();
    }
}

static void check_run(walk_outcome outcome, bool as_child) {
    check(read_position <= fill_level, "read position beyond fill level");
    check(fill_level <= output_capacity, "fill level beyond the output buffer");
    check(input.pos <= input.size, "decoder consumed past its input");
    check(known_directory_count <= known_directories_capacity, "directory table overflow");
    check(fuzz_wcslen(output_path) < payload_path_capacity, "output path overflow");
    check(fuzz_wcslen(dll_path) < payload_path_capacity, "DLL path overflow");
    if (known_directory_count > 0) {
        check(fuzz_wcscmp(known_directories[0], fuzz_home) == 0, "table entry 0 is not {HOME}");
    }
    if (outcome != walk_header_missing) {
        check(extraction_started, "extraction-started flag not set after open");
    }
    if (as_child) {
        check(files_opened() == 0 && directories_made() == 0, "the child touched the file system");
    }
    if (outcome == walk_completed && !as_child) {
        check(open_handles() == 0, "a file handle was left open");
    }
    if (outcome == walk_completed && as_child) {
        check(input.pos > 0 || dll_path[0] == 0, "the child found a name without decoding");
    }
}

walk_result run_walk(const uint8_t *block, size_t length, bool as_child) {
    reset_walk_state();
    reset_files(fuzz_target);
    walk_outcome outcome = walk_completed;
    int jumped = setjmp(fatal_return);
    if (jumped == 0) {
        payload_open_block(block, length);
        if (!as_child) {
            create_new_directory(fuzz_target, NULL);
        }
        extract_entries(as_child ? extract_as_child : extract_as_parent, fuzz_target, NULL);
        release_extraction_directories();
    } else {
        outcome = (walk_outcome)(jumped - 1);
    }
    check_run(outcome, as_child);
    walk_result result = {outcome, files_opened(), bytes_written(), fuzz_wcslen(dll_path), hash_units(dll_path)};
    payload_close();
    return result;
}

/*-**** Blocks from archives ****/

static const size_t raw_block_max = 65536;  // below the 128 KiB block limit

size_t wrap_archive(const uint8_t *archive, size_t archive_length, uint8_t *out) {
    static const uint8_t frame_start[] = {0x28, 0xB5, 0x2F, 0xFD, payload_frame_descriptor, payload_window_descriptor};
    size_t at = 0;
    memcpy(out + at, payload_header, payload_header_size);
    at += payload_header_size;
    memcpy(out + at, frame_start, sizeof frame_start);
    at += sizeof frame_start;
    size_t done = 0;
    do {
        size_t piece = archive_length - done < raw_block_max ? archive_length - done : raw_block_max;
        bool last = done + piece == archive_length;
        uint32_t header = (uint32_t)(piece << 3) | (last ? 1u : 0u);  // block type 0: raw
        out[at++] = (uint8_t)header;
        out[at++] = (uint8_t)(header >> 8);
        out[at++] = (uint8_t)(header >> 16);
        memcpy(out + at, archive + done, piece);
        at += piece;
        done += piece;
    } while (done < archive_length);
    out[at++] = 0x00;
    uint64_t before = at;
    for (int i = 0; i < 8; i++) {
        out[at++] = (uint8_t)(before >> (8 * i));
    }
    return at;
}
