// A progress line for long packs, drawn on stderr only when it is a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstddef>

namespace velsor {

bool stderr_is_terminal();

// Redraws "files done/total, bytes done/total, rate" in place, at most a few
// times a second. Does nothing when not enabled.
class progress_line {
public:
    progress_line(size_t total_files, std::uint64_t total_bytes, bool enabled);
    ~progress_line();  // ends the line, so what follows starts on its own
    progress_line(const progress_line &) = delete;
    progress_line &operator=(const progress_line &) = delete;

    void update(size_t files_done, std::uint64_t bytes_done);

private:
    void draw(size_t files_done, std::uint64_t bytes_done);

    size_t total_files_;
    std::uint64_t total_bytes_;
    bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace velsor
