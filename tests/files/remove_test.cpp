// Tree removal (files/remove.h) under Wine, on real trees. Links are host
// symbolic links (Wine can neither make nor remove one), so a tree with a
// link in it stays, link and all: what matters is that the target survives.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "files/remove.h"
#include "tests/support/harness.h"

namespace {

const int victim_files = 200;  // also the race rows' fillers, with the same names
const int too_deep = 260;      // levels, past the walk's bound

void write(const std::wstring &path, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    CloseHandle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr));
}

// f_0000, f_0001, ...: listed ahead of "x", since Wine lists by name as NTFS does.
void fill(const std::wstring &directory, int count) {
    for (int i = 0; i < count; i++) {
        wchar_t name[16];
        swprintf(name, 16, L"\\f_%04d", i);
        write(directory + name);
    }
}

bool wait_for(const std::wstring &path, bool there = true) {
    for (int i = 0; i < 1000 && harness::path_exists(path) != there; i++) {
        Sleep(10);
    }
    return harness::path_exists(path) == there;
}

// The host's ln or rm, without harness::run's output threads (which now and
// then fail to join after a host program under Wine); either may still be
// running when its process handle says it ended.
bool host_link(const std::wstring &link, const std::wstring &target = L"") {
    harness::run_options quiet;
    quiet.capture = false;
    std::wstring host_link = harness::host_path(link);
    if (target.empty()) {
        harness::run(L"Z:\\bin\\rm", {L"-f", host_link}, quiet);
    } else {
        harness::run(L"Z:\\bin\\ln", {L"-s", harness::host_path(target), host_link}, quiet);
    }
    return wait_for(link, !target.empty());
}

struct room {
    std::wstring scratch = harness::make_scratch_directory(L"velsor_files_");
    std::wstring top = L"\\\\?\\" + scratch + L"\\top";  // long paths below it work for the test too
    std::wstring victim = scratch + L"\\victim";
    std::vector<std::wstring> links;
    room() {
        CreateDirectoryW(victim.c_str(), nullptr);
        fill(victim, victim_files);
    }
    ~room() {
        for (const auto &link : links) {
            host_link(link);
        }
        harness::remove_tree(scratch);
    }
    bool plant_link(const std::wstring &link) {
        links.push_back(link);
        return host_link(link, victim);
    }
    int victim_left() const { return (int)harness::list_files(victim).size(); }
    void make_top() {
        CreateDirectoryW(top.c_str(), nullptr);
        write(top + L"\\plain.txt", FILE_ATTRIBUTE_READONLY);
    }
};

// A chain of directories below the top, with a read-only file in each when `files`.
void plant_chain(room &r, const wchar_t *name, int levels, bool files) {
    r.make_top();
    std::wstring path = r.top;
    for (int level = 0; level < levels; level++) {
        path += name;
        CreateDirectoryW(path.c_str(), nullptr);
        if (files) {
            write(path + L"\\read_only.txt", FILE_ATTRIBUTE_READONLY);
        }
    }
}

void plant_long_read_only(room &r) { plant_chain(r, L"\\a_directory_name_of_thirty_two", 20, true); }

void plant_too_deep(room &r) { plant_chain(r, L"\\d", too_deep, false); }

void plant_inner_link(room &r) {
    r.make_top();
    CreateDirectoryW((r.top + L"\\sub").c_str(), nullptr);
    EXPECT_TRUE(r.plant_link(r.top + L"\\sub\\outside"));
}

void plant_top_link(room &r) { EXPECT_TRUE(r.plant_link(r.top)); }

enum removal { by_path, by_handle };

bool remove(const std::wstring &path, removal how) {
    if (how == by_path) {
        return remove_tree(path.c_str());
    }
    HANDLE directory = CreateFileW(
        path.c_str(), DELETE | FILE_LIST_DIRECTORY | SYNCHRONIZE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    bool removed = remove_tree_at(directory);
    CloseHandle(directory);
    return removed;
}

TEST(RemoveTree, Rules) {
    const struct {
        const char *tree;
        void (*plant)(room &);
        removal how;
        bool removed;  // the result, and whether the top is gone
    } rows[] = {
        {"read-only files, paths past MAX_PATH", plant_long_read_only, by_path, true},
        {"the same, through a held handle", plant_long_read_only, by_handle, true},
        {"a link inside to a directory outside", plant_inner_link, by_path, false},
        {"a link as the top", plant_top_link, by_path, false},
        {"deeper than the walk goes", plant_too_deep, by_path, false},
    };
    for (const auto &row : rows) {
        room r;
        row.plant(r);
        EXPECT_EQ(remove(r.top, row.how), row.removed) << row.tree;
        EXPECT_EQ(harness::path_exists(r.top), !row.removed) << row.tree;
        EXPECT_FALSE(harness::path_exists(r.top + L"\\plain.txt")) << row.tree;
        EXPECT_EQ(r.victim_left(), victim_files) << row.tree;
    }
}

// A host program (swap_on_delete.py) swaps top\x for a link to the victim
// the moment the first filler goes, while the walk is busy with the
// fillers: x's own (the walk is inside x), or the top's, listed ahead of x
// (x is listed, not yet entered). Those are few, so that x comes in the
// same batch of the listing: Wine looks at a batch's entries when it reads
// the batch, and would show a later x as the link it has become.
bool race(room &r, bool fillers_inside, int fillers) {
    std::wstring x = r.top + L"\\x", ready = r.scratch + L"\\ready";
    r.links.push_back(x);
    CreateDirectoryW(r.top.c_str(), nullptr);
    CreateDirectoryW(x.c_str(), nullptr);
    fill(fillers_inside ? x : r.top, fillers);
    HANDLE swapper = harness::start(harness::windows_path(VELSOR_HOST_PYTHON),
                                    {harness::widen(VELSOR_SWAP_SCRIPT), harness::host_path(fillers_inside ? x : r.top),
                                     harness::host_path(x), harness::host_path(r.victim), harness::host_path(ready)});
    EXPECT_TRUE(wait_for(ready));
    remove_tree(r.top.c_str());
    bool swapped = wait_for(ready + L".swapped");
    CloseHandle(swapper);
    return swapped;
}

TEST(RemoveTree, DirectorySwappedForLinkIsNotFollowed) {
    const struct {
        const char *when;
        bool fillers_inside;
        int fillers;
    } rows[] = {
        {"while the walk is inside it", true, victim_files},
        {"between its listing and its entry", false, 30},
    };
    for (const auto &row : rows) {
        for (int attempt = 0; attempt < 3; attempt++) {
            room r;
            EXPECT_TRUE(race(r, row.fillers_inside, row.fillers)) << row.when << ": no swap";
            EXPECT_EQ(r.victim_left(), victim_files) << row.when << ", try " << attempt;
        }
    }
}

}  // namespace
