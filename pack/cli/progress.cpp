// The progress line, drawn on stderr only when it is a terminal.
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#define velsor_isatty _isatty
#else
#include <unistd.h>
#define velsor_isatty isatty
#endif

#include "pack/cli/cli.h"

namespace velsor {

namespace {

constexpr auto redraw_interval = std::chrono::milliseconds(200);
constexpr double mebibyte = 1024.0 * 1024.0;

}  // namespace

bool stderr_is_terminal() { return velsor_isatty(2) != 0; }

progress_line::progress_line(size_t total_files, std::uint64_t total_bytes, bool enabled)
    : total_files_(total_files), total_bytes_(total_bytes), enabled_(enabled),
      start_(std::chrono::steady_clock::now()), last_draw_(start_) {}

progress_line::~progress_line() {
    if (drawn_) {
        std::fputc('\n', stderr);
    }
}

void progress_line::update(size_t files_done, std::uint64_t bytes_done) {
    if (!enabled_) {
        return;
    }
    auto now = std::chrono::steady_clock::now();
    bool last = files_done == total_files_;
    if (!last && now - last_draw_ < redraw_interval) {
        return;
    }
    last_draw_ = now;
    draw(files_done, bytes_done);
}

void progress_line::draw(size_t files_done, std::uint64_t bytes_done) {
    double seconds = std::chrono::duration<double>(last_draw_ - start_).count();
    double rate = seconds > 0 ? static_cast<double>(bytes_done) / mebibyte / seconds : 0.0;
    // "\r" and the erase-to-end sequence redraw the line in place.
    std::fprintf(stderr, "\rpacking: %zu/%zu files, %.1f/%.1f MiB, %.1f MiB/s\033[K", files_done, total_files_,
                 static_cast<double>(bytes_done) / mebibyte, static_cast<double>(total_bytes_) / mebibyte, rate);
    std::fflush(stderr);
    drawn_ = true;
}

}  // namespace velsor
