// Fatal error reporting.
#include "launcher/fatal.h"

#include <stdio.h>
#include <stdlib.h>

#include "payload/extract.h"

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
    fprintf(stderr, "%s ([Error %ld] %s)\n", message, (long)code, text);
}

void fatal_error(const char *message) {
    puts(message);
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

void fatal_open_for_writing(void) {
    fprintf(stderr, "Error, failed to open '%ls' for writing.\n", current_output_path());
    exit(fatal_exit_status);
}

void fatal_expand_failed(const wchar_t *path_template) {
    fprintf(stderr, "Error, couldn't runtime expand spec '%ls'.\n", path_template);
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
