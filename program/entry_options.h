// A packed program's fixed arguments and environment settings
// (velsor-pack build --entry-arg, --env), which velsor-pack stores in
// <unpacked directory>\.velsor\entry and which apply when the program starts.
//
// The file, UTF-16LE: "velsor entry 1" and a 0 unit, then items, each a tag
// unit ('a' a fixed argument, 'e' an environment setting NAME=VALUE), the
// text and a 0 unit; the file ends after the last item. A text holds
// placeholders, expanded when the program starts: {UNPACK_DIR} the unpacked
// directory, {ENV:NAME} the value NAME has at that moment (empty when unset),
// {{ a literal '{'; a '}' alone is literal. A setting's NAME is literal.
#pragma once

#include <stddef.h>
#include <windows.h>

// Applies <directory>\.velsor\entry when the unpacked `directory` has one;
// false, and nothing done, when it has none. Item by item, in the file's
// order: a setting is set in this process's environment (the program
// inherits it), a fixed argument is appended to `line` (`*length` units
// long, `capacity` with the terminator) as append_program_argument appends.
// So an item sees in {ENV:NAME} what the settings before it set. A damaged
// file, a line or a value too long for the system: one fatal line, status 2.
bool apply_entry_options(const wchar_t *directory, wchar_t *line, size_t capacity, size_t *length);

// Appends a space and `argument`, quoted as quote_command_line quotes it,
// to `line`; a line that would not fit `capacity` is one fatal line.
void append_program_argument(wchar_t *line, size_t capacity, size_t *length, const wchar_t *argument);
