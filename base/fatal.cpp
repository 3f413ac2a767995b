// Fatal error reporting.
#include "base/fatal.h"

#include <stdio.h>
#include <stdlib.h>

static const int fatal_exit_status = 2;
static const DWORD message_language_en_us = 0x0409;
static const DWORD fast_fail_fatal_app_exit = 7;
static const int abnormal_exit_status = 3;

#ifndef PF_FASTFAIL_AVAILABLE
#define PF_FASTFAIL_AVAILABLE 23
#endif

// Placeholder for the system text when the system has none for the code, so
// the line keeps its form.
static char unknown_code_text[] = "unknown error";

static const size_t line_capacity = 8192;  // messages, a 4096-unit path, a system text

/*-**** Writing one line ****/
// Lines go out through the wide stream functions: attach_console may have
// switched a stream to UTF-8 translation, where the runtime takes the bytes
// of narrow output for halves of UTF-16 units, while wide text reads the
// same in that mode and in plain text mode. A line too long for the buffer
// is cut, never overflowed.

struct line_builder {
    wchar_t text[line_capacity];
    size_t length;
};

static void append_wide(line_builder *line, const wchar_t *text) {
    for (; *text != L'\0' && line->length + 1 < line_capacity; text++) {
        line->text[line->length++] = *text;
    }
    line->text[line->length] = L'\0';
}

// Narrow texts here are ASCII messages and the system's English texts.
static void append_narrow(line_builder *line, const char *text) {
    for (; *text != '\0' && line->length + 1 < line_capacity; text++) {
        line->text[line->length++] = (wchar_t)(unsigned char)*text;
    }
    line->text[line->length] = L'\0';
}

// Flushed, so the line is complete on its device also before an abnormal end.
static void write_line(FILE *stream, const line_builder *line) {
    fputws(line->text, stream);
    fflush(stream);
}

static void trim_line_breaks(char *text, DWORD length) {
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) {
        text[--length] = '\0';
    }
}

void print_error_with_code(const char *message, DWORD code) {
    char *text = NULL;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        /* lpSource     */ NULL,
        /* dwMessageId  */ code,
        /* dwLanguageId */ message_language_en_us,
        /* lpBuffer     */ (LPSTR)&text,
        /* nSize        */ 0,
        /* Arguments    */ NULL);
    if (length > 0) {
        trim_line_breaks(text, length);
    } else {
        text = unknown_code_text;
    }
    // The buffer FormatMessageA allocated is left to the process's end.
    char number[32];
    snprintf(number, sizeof number, "%ld", (long)code);
    line_builder line = {};
    append_narrow(&line, message);
    append_narrow(&line, " ([Error ");
    append_narrow(&line, number);
    append_narrow(&line, "] ");
    append_narrow(&line, text);
    append_narrow(&line, ")\n");
    write_line(stderr, &line);
}

void fatal_error(const char *message) {
    line_builder line = {};
    append_narrow(&line, message);
    append_narrow(&line, "\n");
    write_line(stdout, &line);
    exit(fatal_exit_status);
}

void fatal_error_with_code(const char *message, DWORD code) {
    print_error_with_code(message, code);
    exit(fatal_exit_status);
}

void fatal_header_missing(void) { fatal_error("Error, couldn't find attached data header."); }
void fatal_out_of_memory(void) { fatal_error("Error, couldn't allocate memory."); }
void fatal_decode_failed(void) { fatal_error("Error, couldn't decode attached data."); }

void fatal_unpack_failed(void) {
    DWORD code = GetLastError();
    fatal_error_with_code("Error, couldn't unpack file to target path.", code);
}

void fatal_launch_failed(DWORD code) { fatal_error_with_code("Error, couldn't launch child", code); }

// Writes "<before><path><after>" on stderr.
static void write_path_line(const char *before, const wchar_t *path, const char *after) {
    line_builder line = {};
    append_narrow(&line, before);
    append_wide(&line, path);
    append_narrow(&line, after);
    write_line(stderr, &line);
}

void fatal_open_for_writing(const wchar_t *path) {
    write_path_line("Error, failed to open '", path, "' for writing.\n");
    exit(fatal_exit_status);
}

void fatal_expand_failed(const wchar_t *path_template) {
    write_path_line("Error, couldn't runtime expand spec '", path_template, "'.\n");
    abnormal_exit();
}

// The runtime's abort() may put up a message box in a GUI-subsystem program
// and waits for it to be dismissed; this ends the process the way a runtime
// configured to report faults on abort does, without any wait.
void abnormal_exit(void) {
    if (IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE)) {
        __asm__ volatile("int $0x29" : : "c"(fast_fail_fatal_app_exit) : "memory");
    }
    _exit(abnormal_exit_status);
}

void capacity_stop(void) { abnormal_exit(); }
