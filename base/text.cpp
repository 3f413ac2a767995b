// Bounded text helpers.
#include "base/text.h"

#include <stdlib.h>
#include <wchar.h>

#include "base/fatal.h"

static const wchar_t quote_forcing[] = L" \t\n\v\"";

void copy_bounded(wchar_t *destination, const wchar_t *source, size_t capacity) {
    size_t length = wcslen(source);
    if (length >= capacity) {
        capacity_stop();
    }
    for (size_t i = 0; i <= length; i++) {
        destination[i] = source[i];
    }
}

void widen_ascii(const char *text, wchar_t *wide, size_t capacity) {
    size_t length = 0;
    wide[0] = L'\0';
    for (const char *p = text; *p != '\0'; p++) {
        char narrow[2] = {*p, '\0'};
        wchar_t converted[2];
        if (mbstowcs(converted, narrow, 2) != 1) {
            abnormal_exit();
        }
        if (length + 1 >= capacity) {
            capacity_stop();
        }
        wide[length++] = converted[0];
        wide[length] = L'\0';
    }
}

bool parse_process_id(const wchar_t *text, DWORD *process_id) {
    const wchar_t *p = text;
    while (iswspace(*p)) {
        p++;
    }
    bool negative = false;
    if (*p == L'+' || *p == L'-') {
        negative = *p == L'-';
        p++;
    }
    if (!iswdigit(*p)) {
        return false;
    }
    long long value = 0;
    for (; iswdigit(*p); p++) {
        value = value * 10 + (*p - L'0');
        if (value > 2147483648LL) {
            return false;
        }
    }
    if (*p != L'\0') {
        return false;
    }
    value = negative ? -value : value;
    if (value > 2147483647LL || value < -2147483648LL) {
        return false;
    }
    *process_id = (DWORD)(long)value;
    return true;
}

/*-**** Command-line quoting ****/

struct line_writer {
    wchar_t *line;
    size_t capacity;
    size_t length;
};

static void append_units(line_writer *w, wchar_t unit, size_t count) {
    if (count >= w->capacity - w->length) {
        capacity_stop();  // text and terminator must fit
    }
    for (size_t i = 0; i < count; i++) {
        w->line[w->length++] = unit;
    }
    w->line[w->length] = L'\0';
}

static void append_text(line_writer *w, const wchar_t *text) {
    for (const wchar_t *p = text; *p != L'\0'; p++) {
        append_units(w, *p, 1);
    }
}

// Backslashes are literal except in a run that ends at a double quote: that
// run is doubled and the quote escaped, and a run at the end is doubled
// because the closing quote follows it.
static void append_quoted(line_writer *w, const wchar_t *argument) {
    append_units(w, L'"', 1);
    const wchar_t *p = argument;
    for (;;) {
        size_t backslashes = 0;
        while (*p == L'\\') {
            backslashes++;
            p++;
        }
        if (*p == L'\0') {
            append_units(w, L'\\', 2 * backslashes);
            append_units(w, L'"', 1);
            return;
        }
        if (*p == L'"') {
            append_units(w, L'\\', 2 * backslashes + 1);
        } else {
            append_units(w, L'\\', backslashes);
        }
        append_units(w, *p, 1);
        p++;
    }
}

static void append_argument(line_writer *w, const wchar_t *argument) {
    // An empty argument is passed on as "" so the child sees it too.
    if (argument[0] == L'\0' || wcspbrk(argument, quote_forcing) != NULL) {
        append_quoted(w, argument);
    } else {
        append_text(w, argument);
    }
}

void quote_command_line(wchar_t *line, size_t capacity, int argc, const wchar_t *const *argv) {
    line_writer w = {line, capacity, 0};
    if (capacity == 0) {
        capacity_stop();
    }
    line[0] = L'\0';
    for (int i = 0; i < argc; i++) {
        if (i > 0) {
            append_units(&w, L' ', 1);
        }
        append_argument(&w, argv[i]);
    }
}
