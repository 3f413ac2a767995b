// The record of a cached directory (.velsor\complete): plain functions over
// text, with no system calls, so host tests call them as they are.
//
// The record is UTF-16 text, one line per item:
//   velsor cache 2
//   program <full path of the executable the directory belongs to>
//   <size> <last-write time> <name>          one line per file of the block
//   end <number of file lines>
// A directory counts as published only when its record is whole: header,
// program, at least one file, and the end line with the right count. The
// sizes and last-write times (100 ns units, as the file system keeps them)
// are taken when the files are written, so that a file replaced later,
// even by one of the same size, no longer matches.
#pragma once

#include <stddef.h>
#include <stdint.h>

// A record being built. Start from all zeros; text is null-terminated and
// owned by the record (free() it).
struct cache_record {
    wchar_t *text;
    size_t length;
    size_t capacity;
};

// Each returns false when no memory is left (the record is then unusable).
bool cache_record_start(cache_record *record, const wchar_t *program);
bool cache_record_add_file(cache_record *record, const wchar_t *name, uint64_t size, uint64_t write_time);
bool cache_record_finish(cache_record *record);

struct cache_record_file {
    const wchar_t *name;  // relative, backslash-separated
    uint64_t size;
    uint64_t write_time;
};

// Called for each file line in order; returning false stops the reading.
typedef bool (*cache_record_visit)(void *context, const cache_record_file *file);

// True when `text` is a whole record of `program` (compared without regard
// to letter case) whose every file line has a name that stays below the
// directory, and `visit` accepted each file. `text` is cut into lines in
// place.
bool cache_record_read(wchar_t *text, const wchar_t *program, cache_record_visit visit, void *context);

// True when `text` begins with a record header naming `program`, whole or
// not: a private directory's record names its program from the start.
bool cache_record_names_program(const wchar_t *text, const wchar_t *program);

// The tag of a program in the names of its private and set-aside
// directories ("<id>.new-<tag>-<token>", "<...>.old-<tag>-<token>"), so
// that they are known as this program's even before their record exists:
// 16 hex digits of a hash of the path without regard to letter case. Also
// names the cache's mutex.
inline constexpr size_t cache_tag_capacity = 17;
void cache_program_tag(const wchar_t *path, wchar_t tag[cache_tag_capacity]);

// True when the directory name `name` ("<16 hex digits>.new-..." or
// ".old-...") carries `tag` right after its first suffix's infix.
bool cache_name_has_tag(const wchar_t *name, const wchar_t *tag);
