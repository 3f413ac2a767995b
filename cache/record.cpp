// The cache record's text: building it and reading it back.
#include "cache/record.h"

#include <stdlib.h>
#include <wchar.h>
#include <wctype.h>

#include "base/layout.h"

static const wchar_t header_line[] = L"velsor cache 3\n";
static const wchar_t earlier_header_line[] = L"velsor cache 2\n";  // the same length
static const wchar_t program_prefix[] = L"program ";
static const wchar_t directory_prefix[] = L"directory ";
static const wchar_t unflushed_prefix[] = L"unflushed ";
static const wchar_t end_prefix[] = L"end ";
static const size_t number_capacity = 24;
static const size_t version_digits = 16;
static const size_t infix_length = sizeof cache_private_infix / sizeof(char16_t) - 1;
static_assert(sizeof cache_private_infix == sizeof cache_set_aside_infix);
static const uint64_t fnv_offset = 14695981039346656037ull;
static const uint64_t fnv_prime = 1099511628211ull;  // 20 digits of a 64-bit value, a separator, a 0

/*-**** Building ****/

static bool append_to(wchar_t **text, size_t *length, size_t *capacity, const wchar_t *more) {
    size_t added = wcslen(more);
    if (*length + added + 1 > *capacity) {
        size_t grown_capacity = (*capacity + added + 1) * 2;
        wchar_t *grown = (wchar_t *)realloc(*text, grown_capacity * sizeof(wchar_t));
        if (grown == NULL) {
            return false;
        }
        *text = grown;
        *capacity = grown_capacity;
    }
    wmemcpy(*text + *length, more, added + 1);
    *length += added;
    return true;
}

static bool append(cache_record *record, const wchar_t *text) {
    return append_to(&record->text, &record->length, &record->capacity, text);
}

static bool append_file_text(cache_record *record, const wchar_t *text) {
    return append_to(&record->files.text, &record->files.length, &record->files.capacity, text);
}

// `value` in decimal followed by `separator`.
static void decimal(wchar_t *output, uint64_t value, wchar_t separator) {
    wchar_t digits[number_capacity];
    size_t n = 0;
    do {
        digits[n++] = (wchar_t)(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (size_t i = 0; i < n; i++) {
        output[i] = digits[n - 1 - i];
    }
    output[n] = separator;
    output[n + 1] = L'\0';
}

bool cache_record_start(cache_record *record, const wchar_t *program) {
    record->length = 0;
    record->files.length = 0;
    return append(record, header_line) && append(record, program_prefix) && append(record, program) &&
           append(record, L"\n");
}

bool cache_record_add_file(cache_record *record, const wchar_t *name, uint64_t size, uint64_t write_time) {
    wchar_t number[number_capacity];
    decimal(number, size, L' ');
    if (!append_file_text(record, number)) {
        return false;
    }
    decimal(number, write_time, L' ');
    return append_file_text(record, number) && append_file_text(record, name) && append_file_text(record, L"\n");
}

bool cache_record_add_directory(cache_record *record, const wchar_t *name, uint64_t write_time) {
    wchar_t number[number_capacity];
    decimal(number, write_time, L' ');
    return append(record, directory_prefix) && append(record, number) && append(record, name) &&
           append(record, L"\n");
}

bool cache_record_add_unflushed(cache_record *record, uint64_t boot_time) {
    wchar_t number[number_capacity];
    decimal(number, boot_time, L'\n');
    return append(record, unflushed_prefix) && append(record, number);
}

// The item count is the number of lines after the header and program line.
static size_t count_lines(const wchar_t *text) {
    size_t lines = 0;
    for (; *text != L'\0'; text++) {
        lines += *text == L'\n';
    }
    return lines;
}

bool cache_record_finish(cache_record *record) {
    if (record->files.text != NULL && !append(record, record->files.text)) {
        return false;
    }
    record->files.length = 0;
    wchar_t number[number_capacity];
    decimal(number, count_lines(record->text) - 2, L'\n');
    return append(record, end_prefix) && append(record, number);
}

void cache_record_free(cache_record *record) {
    free(record->text);
    free(record->files.text);
    *record = cache_record{};
}

/*-**** Reading ****/

// Reads a decimal number that ends at `separator`; false when there is no
// digit, it overflows, or something else follows.
static bool read_decimal(const wchar_t **at, wchar_t separator, uint64_t *value) {
    const wchar_t *p = *at;
    uint64_t n = 0;
    for (; *p >= L'0' && *p <= L'9'; p++) {
        uint64_t digit = (uint64_t)(*p - L'0');
        if (n > (UINT64_MAX - digit) / 10) {
            return false;
        }
        n = n * 10 + digit;
    }
    if (p == *at || *p != separator) {
        return false;
    }
    *value = n;
    *at = p + 1;
    return true;
}

static bool same_ignoring_case(const wchar_t *a, const wchar_t *b, size_t length) {
    for (size_t i = 0; i < length; i++) {
        if (towupper((wint_t)a[i]) != towupper((wint_t)b[i])) {
            return false;
        }
    }
    return true;
}

// A name that stays below the directory: relative, no empty, "." or ".."
// part, no drive or stream colon, no forward slash.
static bool name_stays_below(const wchar_t *name) {
    if (*name == L'\0' || wcschr(name, L':') != NULL || wcschr(name, L'/') != NULL) {
        return false;
    }
    for (const wchar_t *part = name;;) {
        const wchar_t *end = wcschr(part, L'\\');
        size_t length = end == NULL ? wcslen(part) : (size_t)(end - part);
        if (length == 0 || (part[0] == L'.' && (length == 1 || (length == 2 && part[1] == L'.')))) {
            return false;
        }
        if (end == NULL) {
            return true;
        }
        part = end + 1;
    }
}

// Cuts the line at `at` off at its line feed; null when there is none.
static wchar_t *next_line(wchar_t **at) {
    wchar_t *line = *at;
    wchar_t *feed = wcschr(line, L'\n');
    if (feed == NULL) {
        return NULL;
    }
    *feed = L'\0';
    *at = feed + 1;
    return line;
}

static bool names_program_after(const wchar_t *text, const wchar_t *header_text, const wchar_t *program) {
    size_t header = wcslen(header_text), prefix = wcslen(program_prefix), length = wcslen(program);
    const wchar_t *line = text + header;
    return wcsncmp(text, header_text, header) == 0 && wcsncmp(line, program_prefix, prefix) == 0 &&
           wcslen(line + prefix) > length && same_ignoring_case(line + prefix, program, length) &&
           line[prefix + length] == L'\n';
}

bool cache_record_names_program(const wchar_t *text, const wchar_t *program) {
    return names_program_after(text, header_line, program) || names_program_after(text, earlier_header_line, program);
}

static bool starts_with(const wchar_t *line, const wchar_t *prefix) {
    return wcsncmp(line, prefix, wcslen(prefix)) == 0;
}

// One file line "<size> <time> <name>", a directory line
// "directory <time> <name>" (the top's name empty) or "unflushed <time>".
static bool read_item_line(const wchar_t *line, cache_record_item *item) {
    *item = cache_record_item{cache_item_file, L"", 0, 0};
    if (starts_with(line, unflushed_prefix)) {
        item->kind = cache_item_unflushed;
        line += wcslen(unflushed_prefix);
        return read_decimal(&line, L'\0', &item->write_time);
    }
    if (starts_with(line, directory_prefix)) {
        item->kind = cache_item_directory;
        line += wcslen(directory_prefix);
        return read_decimal(&line, L' ', &item->write_time) && (*line == L'\0' || name_stays_below(line)) &&
               ((item->name = line), true);
    }
    return read_decimal(&line, L' ', &item->size) && read_decimal(&line, L' ', &item->write_time) &&
           name_stays_below(line) && ((item->name = line), true);
}

bool cache_record_read(wchar_t *text, const wchar_t *program, cache_record_visit visit, void *context) {
    if (!names_program_after(text, header_line, program)) {
        return false;
    }
    wchar_t *at = text;
    next_line(&at);
    next_line(&at);
    uint64_t items = 0;
    bool any_file = false;
    for (wchar_t *line = next_line(&at); line != NULL; line = next_line(&at)) {
        if (starts_with(line, end_prefix)) {
            const wchar_t *count = line + wcslen(end_prefix);
            uint64_t listed = 0;
            return *at == L'\0' && any_file && read_decimal(&count, L'\0', &listed) && listed == items;
        }
        cache_record_item item;
        if (!read_item_line(line, &item) || !visit(context, &item)) {
            return false;
        }
        any_file = any_file || item.kind == cache_item_file;
        items++;
    }
    return false;  // no end line
}

/*-**** Program tags ****/

void cache_program_tag(const wchar_t *path, wchar_t tag[cache_tag_capacity]) {
    uint64_t hash = fnv_offset;
    for (; *path != L'\0'; path++) {
        hash = (hash ^ (uint64_t)towupper((wint_t)*path)) * fnv_prime;
    }
    static const wchar_t hex[] = L"0123456789abcdef";
    for (size_t i = 0; i < cache_tag_capacity - 1; i++) {
        tag[i] = hex[(hash >> (60 - 4 * i)) & 0xF];
    }
    tag[cache_tag_capacity - 1] = L'\0';
}

// True when `text` begins with the infix `infix` (the record is read on the
// host too, where wchar_t is wider than the names' units).
static bool starts_with_infix(const wchar_t *text, const char16_t *infix) {
    for (size_t i = 0; i < infix_length; i++) {
        if (text[i] != (wchar_t)infix[i]) {
            return false;
        }
    }
    return true;
}

bool cache_name_has_tag(const wchar_t *name, const wchar_t *tag) {
    if (wcslen(name) < version_digits + infix_length + cache_tag_capacity) {
        return false;
    }
    const wchar_t *infix = name + version_digits;
    bool known_infix = starts_with_infix(infix, cache_private_infix) || starts_with_infix(infix, cache_set_aside_infix);
    const wchar_t *at = infix + infix_length;
    return known_infix && wcsncmp(at, tag, cache_tag_capacity - 1) == 0 && at[cache_tag_capacity - 1] == L'-';
}
