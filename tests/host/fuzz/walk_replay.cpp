// Replays payload inputs through the host build of the walk and checks how
// each run ends.
//
//   walk_replay [--expect OUTCOME] FILE...
//
// A file in a folder named "archive" is a decompressed archive (wrapped in a
// block first); any other file is a whole block. Without --expect, the
// outcome a file must reach in the parent role is the last dot-separated part
// of its name before ".bin", e.g. "name-1024-units.capacity_stop.bin".
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "tests/host/fuzz/walk_host.h"

static const char *const outcome_names[] = {
    "completed",     "header_missing", "out_of_memory", "decode_failed",
    "unpack_failed", "open_failed",    "expand_failed", "capacity_stop",
};

static bool read_file(const char *path, std::vector<uint8_t> *data) {
    FILE *f = fopen(path, "rb");
    if (f == NULL) {
        return false;
    }
    uint8_t buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) {
        data->insert(data->end(), buffer, buffer + n);
    }
    fclose(f);
    return true;
}

static std::string expected_from_name(const std::string &path) {
    std::string name = path.substr(path.find_last_of('/') + 1);
    size_t end = name.rfind(".bin");
    size_t start = name.rfind('.', end == std::string::npos ? std::string::npos : end - 1);
    if (end == std::string::npos || start == std::string::npos) {
        return "";
    }
    return name.substr(start + 1, end - start - 1);
}

static bool is_archive(const std::string &path) {
    size_t slash = path.find_last_of('/');
    std::string folder = slash == std::string::npos ? "" : path.substr(0, slash);
    folder = folder.substr(folder.find_last_of('/') + 1);
    return folder == "archive";
}

static bool replay(const char *path, const std::string &expected) {
    std::vector<uint8_t> data;
    if (!read_file(path, &data)) {
        printf("FAIL %s: cannot read\n", path);
        return false;
    }
    std::vector<uint8_t> block = data;
    if (is_archive(path)) {
        block.resize(data.size() + data.size() / 65536 * 3 + 32);
        block.resize(wrap_archive(data.data(), data.size(), block.data()));
    }
    walk_result parent = run_walk(block.data(), block.size(), false);
    walk_result child = run_walk(block.data(), block.size(), true);
    const char *got = outcome_names[parent.outcome];
    bool ok = expected == got;
    if (ok && child.outcome == walk_completed && parent.dll_path_units > 0) {
        ok = child.dll_path_hash == parent.dll_path_hash && child.dll_path_units == parent.dll_path_units;
    }
    printf("%s %s: parent %s (%zu files, %llu bytes), child %s\n", ok ? "ok  " : "FAIL", path, got,
           parent.files_written, (unsigned long long)parent.bytes_written, outcome_names[child.outcome]);
    return ok;
}

int main(int argc, char **argv) {
    std::string forced;
    int first = 1;
    if (argc > 2 && strcmp(argv[1], "--expect") == 0) {
        forced = argv[2];
        first = 3;
    }
    int failures = 0;
    int runs = 0;
    for (int i = first; i < argc; i++) {
        std::string expected = forced.empty() ? expected_from_name(argv[i]) : forced;
        failures += replay(argv[i], expected) ? 0 : 1;
        runs++;
    }
    printf("%d inputs, %d failed\n", runs, failures);
    return runs > 0 && failures == 0 ? 0 : 1;
}
