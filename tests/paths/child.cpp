// Running paths_child.exe from the paths tests.
#include "tests/paths/child.h"

namespace paths_test {

static const DWORD fast_fail_status = 0xC0000409;  // STATUS_STACK_BUFFER_OVERRUN
static const DWORD abort_status_without_fast_fail = 3;
static const DWORD fast_fail_feature = 23;  // PF_FASTFAIL_AVAILABLE

std::wstring child_path() { return harness::bin_path(L"paths_child.exe"); }

harness::run_result run_child(const std::vector<std::wstring> &args, const harness::run_options &options) {
    return harness::run(child_path(), args, options);
}

harness::run_result run_child_command_line(const std::wstring &command_line, const harness::run_options &options) {
    return harness::run_command_line(child_path(), command_line, options);
}

std::vector<std::wstring> output_lines(const harness::run_result &result) {
    std::vector<std::wstring> lines;
    std::string text = result.out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(harness::widen(text.substr(start, end - start)));
        start = end + 1;
    }
    return lines;
}

DWORD abnormal_end_status() {
    return IsProcessorFeaturePresent(fast_fail_feature) ? fast_fail_status : abort_status_without_fast_fail;
}

}  // namespace paths_test
