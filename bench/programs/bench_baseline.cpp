// The file system's limit under Wine: writes the files of a manifest
// ("size<TAB>name" lines) below OUT_DIR from memory, creating directories
// as needed, then writes the time it finished (FILETIME ticks) to REPORT.
//   bench_baseline MANIFEST OUT_DIR REPORT
#include <stdio.h>
#include <windows.h>

#include <set>
#include <string>
#include <vector>

static const DWORD write_piece = 1 << 20;

int wmain(int argc, wchar_t **argv) {
    if (argc < 4) {
        return 2;
    }
    FILE *manifest = _wfopen(argv[1], L"r");
    if (manifest == NULL) {
        return 3;
    }
    std::vector<std::pair<unsigned long long, std::wstring>> files;
    unsigned long long size;
    char name[4096];
    unsigned long long largest = 0;
    while (fscanf(manifest, "%llu\t%4095[^\n]\n", &size, name) == 2) {
        files.emplace_back(size, std::wstring(name, name + strlen(name)));
        largest = size > largest ? size : largest;
    }
    fclose(manifest);
    std::vector<unsigned char> data(largest + 1);
    for (size_t i = 0; i < data.size(); i++) {
        data[i] = (unsigned char)(i * 2654435761u >> 24);
    }

    std::wstring root = argv[2];
    CreateDirectoryW(root.c_str(), NULL);
    std::set<std::wstring> made;
    for (const auto &[bytes, relative] : files) {
        std::wstring path = root + L"\\" + relative;
        for (size_t at = path.find(L'\\', root.size() + 1); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
            std::wstring directory = path.substr(0, at);
            if (made.insert(directory).second) {
                CreateDirectoryW(directory.c_str(), NULL);
            }
        }
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (file == INVALID_HANDLE_VALUE) {
            return 4;
        }
        for (unsigned long long done = 0; done < bytes;) {
            DWORD piece = bytes - done < write_piece ? (DWORD)(bytes - done) : write_piece;
            DWORD written = 0;
            if (!WriteFile(file, data.data() + done, piece, &written, NULL)) {
                return 5;
            }
            done += piece;
        }
        CloseHandle(file);
    }
    FILETIME finished;
    GetSystemTimePreciseAsFileTime(&finished);
    FILE *report = _wfopen(argv[3], L"w");
    if (report == NULL) {
        return 6;
    }
    fprintf(report, "%llu\n", ((unsigned long long)finished.dwHighDateTime << 32) | finished.dwLowDateTime);
    fclose(report);
    return 0;
}
