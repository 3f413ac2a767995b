// The record of a cached directory (.velsor\complete): plain functions over
// text, with no system calls, so host tests call them as they are.
//
// The record is UTF-16 text, one line per item:
//   velsor cache 3
//   program <full path of the executable the directory belongs to>
//   unflushed <boot time>                    only while some file may not be
//                                            on disk yet (cache/boot.h)
//   directory <last-write time> <name>       one line per directory that
//                                            holds files, the top one's name
//                                            empty; all before the files
//   <size> <last-write time> <name>          one line per file of the block
//   end <number of lines between the program line and this one>
// A directory counts as published only when its record is whole: header,
// program, at least one file, and the end line with the right count. The
// sizes and last-write times (100 ns units, as the file system keeps them)
// are taken when the files are written, so that a file replaced later,
// even by one of the same size, no longer matches. A directory's time is
// set once all of it is written: adding, removing or renaming an entry in
// it changes the time, so a directory whose time still matches has the
// entries it was written with.
#pragma once

#include <stddef.h>
#include <stdint.h>

// A record being built. Start from all zeros; text is null-terminated and
// owned by the record, as are the file lines until the end (free() both).
struct cache_record_text {
    wchar_t *text;
    size_t length;
    size_t capacity;
};

struct cache_record {
    wchar_t *text;  // the header and program line, then the directory lines
    size_t length;
    size_t capacity;
    cache_record_text files;  // the file lines, moved into `text` at the end
};

// Each returns false when no memory is left (the record is then unusable).
bool cache_record_start(cache_record *record, const wchar_t *program);
bool cache_record_add_file(cache_record *record, const wchar_t *name, uint64_t size, uint64_t write_time);
bool cache_record_add_directory(cache_record *record, const wchar_t *name, uint64_t write_time);
// Before the directories: the files may not all be on disk yet, written
// since the system started at `boot_time`.
bool cache_record_add_unflushed(cache_record *record, uint64_t boot_time);
bool cache_record_finish(cache_record *record);
void cache_record_free(cache_record *record);

enum cache_record_kind { cache_item_file, cache_item_directory, cache_item_unflushed };

struct cache_record_item {
    cache_record_kind kind;
    const wchar_t *name;  // relative, backslash-separated; empty for the top directory and unflushed
    uint64_t size;        // files only
    uint64_t write_time;  // for unflushed, the boot time
};

// Called for each line between the program line and the end line, in
// order; returning false stops the reading.
typedef bool (*cache_record_visit)(void *context, const cache_record_item *item);

// True when `text` is a whole record of `program` (compared without regard
// to letter case) whose every file line has a name that stays below the
// directory, and `visit` accepted each file. `text` is cut into lines in
// place.
bool cache_record_read(wchar_t *text, const wchar_t *program, cache_record_visit visit, void *context);

// True when `text` begins with a record header naming `program`, whole or
// not: a private directory's record names its program from the start. An
// earlier version's header counts too, so that its directories are retired.
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
