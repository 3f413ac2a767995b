// Races against the unpacked directory, the cache and clean-up, under Wine.
// Each row is an attack timed the way an attacker would time it: a watcher
// on the host (watcher.py) waits for the inotify event that opens the window
// and then swaps a directory for a link, plants a link, or signals a Windows
// helper (race_helper.exe) to rename. Host symbolic links stand in for
// junctions. A race can be lost by chance, so each row is tried until it
// works, at most `tries` times; the table says that none ever does.
#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "cache/record.h"
#include "tests/support/harness.h"

namespace {

const int tries = 3, genuine_exit = 5, attacker_id = 13;
const DWORD lock_delay_limit_ms = 20000;

std::wstring host(const std::wstring &path) { return harness::host_path(path); }

struct race_room {
    std::wstring scratch = harness::make_scratch_directory(L"velsor_race_");
    std::wstring base = harness::temp_directory() + L"\\velsor_attack_base";
    std::wstring victim = scratch + L"\\victim";
    std::wstring log = scratch + L"\\watcher.log";
    std::vector<std::wstring> before = harness::onefile_directories();
    std::string note;  // what the row saw, for the report
    race_room() {
        harness::remove_tree(base);
        CreateDirectoryW(victim.c_str(), NULL);
        CreateDirectoryW((victim + L"\\Docs").c_str(), NULL);
        write(victim + L"\\note.txt", "mine\n");
        write(victim + L"\\Docs\\precious.txt", "mine\n");
    }
    ~race_room() {
        CreateDirectoryW(victim.c_str(), NULL);  // a link to a directory that is gone does not list
        for (const auto &name : harness::onefile_directories()) {
            if (std::find(before.begin(), before.end(), name) == before.end()) {
                harness::remove_tree(harness::temp_directory() + L"\\" + name);
            }
        }
        harness::remove_tree(base);
        harness::remove_tree(scratch);
    }
    static void write(const std::wstring &path, const std::string &bytes) {
        HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        DWORD n = 0;
        WriteFile(f, bytes.data(), (DWORD)bytes.size(), &n, NULL);
        CloseHandle(f);
    }
    bool victim_touched() {
        std::string note_text = harness::read_file(victim + L"\\note.txt");
        std::string precious = harness::read_file(victim + L"\\Docs\\precious.txt");
        note += "victim's note.txt: " + std::to_string(note_text.size()) + " bytes, Docs\\precious.txt: " +
                std::to_string(precious.size()) + " bytes (5 each before, 0 when gone)\n";
        return note_text != "mine\n" || precious != "mine\n";
    }
    // Starts the watcher with `steps`; returns once its first watch is set.
    void watch(const std::vector<std::wstring> &steps) {
        std::wstring ready = scratch + L"\\watcher.ready";
        std::vector<std::wstring> args = {harness::widen(VELSOR_RACE_WATCHER), host(log), host(ready)};
        args.insert(args.end(), steps.begin(), steps.end());
        CloseHandle(harness::start(L"Z:\\usr\\bin\\python3", args));
        for (int i = 0; i < 1000 && !harness::path_exists(ready); i++) {
            Sleep(10);
        }
    }
    // The watcher's log once it has acted or given up.
    std::string watcher_log() const {
        if (!harness::path_exists(log)) {
            return "";
        }
        std::string text = harness::read_file(log);
        for (int i = 0; i < 200 && text.find(" done\n") == std::string::npos &&
                        text.find(" gave up\n") == std::string::npos;
             i++) {
            Sleep(10);
            text = harness::read_file(log);
        }
        return text;
    }
    // The one published cache directory, after a first run made it.
    std::wstring published() const {
        harness::run(harness::bin_path(L"security_cache.exe"), {L"exit", L"0"});
        for (const auto &file : harness::list_files(base)) {
            if (file.size() == 26 && file.substr(16) == L"\\probe.dll") {
                return base + L"\\" + file.substr(0, 16);
            }
        }
        return L"";
    }
};

DWORD run_cached(race_room &room) {
    DWORD code =
        harness::run(harness::bin_path(L"security_cache.exe"), {L"exit", std::to_wstring(genuine_exit)}).exit_code;
    room.note += "cached run's exit code: " + std::to_string(code) + "\n";
    return code;
}

// A directory that anyone may change, as an attacker makes it.
void make_open_directory(const std::wstring &path) {
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, NULL, FALSE};
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;GA;;;WD)", SDDL_REVISION_1,
                                                         &attributes.lpSecurityDescriptor, NULL);
    CreateDirectoryW(path.c_str(), &attributes);
    LocalFree(attributes.lpSecurityDescriptor);
}

// The published directory's name, planted first with 2,000 files ahead of
// X\Docs; the run sets it aside and removes it. At the first delete in X,
// X becomes a link to the victim.
bool removal_follows_swap(race_room &room) {
    std::wstring planted = room.published();
    harness::remove_tree(planted);
    make_open_directory(planted);
    make_open_directory(planted + L"\\X");
    for (int i = 0; i < 2000; i++) {
        wchar_t name[16];
        swprintf(name, 16, L"\\X\\%04d.txt", i);
        room.write(planted + name, "filler\n");
    }
    make_open_directory(planted + L"\\X\\Docs");
    room.write(planted + L"\\X\\Docs\\precious.txt", "planted\n");
    room.watch({L"anchor", host(planted), L"wait", L"delete", L"X", L"*", L"swap", L"X", host(room.victim)});
    run_cached(room);
    return room.victim_touched();
}

void copy_tree(const std::wstring &from, const std::wstring &to) {
    CreateDirectoryW(to.c_str(), NULL);
    for (const auto &file : harness::list_files(from)) {
        for (size_t at = file.find(L'\\'); at != std::wstring::npos; at = file.find(L'\\', at + 1)) {
            CreateDirectoryW((to + L"\\" + file.substr(0, at)).c_str(), NULL);
        }
        CopyFileW((from + L"\\" + file).c_str(), (to + L"\\" + file).c_str(), FALSE);
    }
}

// Right after the trust check (when the run opens .velsor\in-use), the
// published directory is renamed aside and a forged copy moved in.
bool checked_then_swapped(race_room &room) {
    std::wstring published = room.published(), forged = room.scratch + L"\\forged";
    std::wstring signal = room.scratch + L"\\swap.signal";
    copy_tree(published, forged);
    CopyFileW(harness::windows_path(VELSOR_DECOY_DLL).c_str(), (forged + L"\\probe.dll").c_str(), FALSE);
    HANDLE helper = harness::start(harness::windows_path(VELSOR_RACE_HELPER),
                                   {L"move", signal, published, published + L".away", forged, published});
    room.watch({L"wait", L"open", host(published + L"\\.velsor"), L"in-use", L"touch", host(signal)});
    bool forged_ran = run_cached(room) == (DWORD)attacker_id;
    WaitForSingleObject(helper, 5000);
    TerminateProcess(helper, 0);
    CloseHandle(helper);
    return forged_ran;
}

// Once clean-up deletes its first file (in a\, after the walk that removes
// links), a link appears in z\, which is deleted later.
bool cleanup_follows_late_link(race_room &room) {
    std::wstring temp = host(harness::temp_directory());
    room.watch({L"wait", L"create", temp, L"onefile_*", L"wait", L"create", temp + L"/{1}", L"a", L"wait",
                L"delete", temp + L"/{1}/a", L"*", L"link", temp + L"/{1}/z/victim", host(room.victim)});
    harness::run(harness::bin_path(L"race_cleanup.exe"), {L"exit", L"0"});
    return room.victim_touched();
}

// As soon as the run's directory exists, data\ in it is a link.
bool extraction_writes_through_link(race_room &room) {
    std::wstring temp = host(harness::temp_directory());
    room.watch({L"wait", L"create", temp, L"onefile_*", L"link", temp + L"/{1}/data", host(room.victim)});
    harness::run(harness::bin_path(L"security_default.exe"), {L"exit", L"0"});
    return room.victim_touched();
}

// A run unpacking into onefile_{TIME_US}_{RANDOM} while another packed
// program starts and sweeps: the microseconds are taken for a process ID.
bool sweep_takes_time_for_pid(race_room &room) {
    // Packed with onefilX_, as velsor-pack refuses this template now, and
    // patched back the way an executable packed earlier would have it.
    std::string exe = harness::read_file(harness::bin_path(L"race_unpacking.exe"));
    std::string from((const char *)L"onefilX_", 16), to((const char *)L"onefile_", 16);
    size_t at = exe.find(from);
    EXPECT_NE(at, std::string::npos);
    exe.replace(at, from.size(), to);
    std::wstring patched = room.scratch + L"\\race_unpacking.exe";
    room.write(patched, exe);
    HANDLE run = harness::start(patched, {L"exit", L"7"});
    bool unpacking = false;
    for (int i = 0; i < 10000 && !unpacking; i++) {
        for (const auto &name : harness::onefile_directories()) {
            std::wstring runner = harness::temp_directory() + L"\\" + name + L"\\.velsor\\runner.dll";
            unpacking |= std::find(room.before.begin(), room.before.end(), name) == room.before.end() &&
                         harness::path_exists(runner);
        }
        Sleep(1);
    }
    harness::run(harness::bin_path(L"race_sweeper.exe"), {L"exit", L"0"});
    DWORD code = 0;
    WaitForSingleObject(run, 60000);
    GetExitCodeProcess(run, &code);
    CloseHandle(run);
    room.note = "unpacking run's exit code: " + std::to_string(code) + " (its program's is 7)\n";
    return unpacking && code != 7;
}

// Another process holds the cache's mutex (its name is the parent's tag).
bool held_mutex_delays(race_room &room) {
    wchar_t tag[cache_tag_capacity];
    cache_program_tag(room.base.c_str(), tag);
    HANDLE mutex = CreateMutexW(NULL, TRUE, (std::wstring(L"Global\\velsor-cache-") + tag).c_str());
    harness::run_options options;
    options.timeout_ms = lock_delay_limit_ms + 5000;
    ULONGLONG started = GetTickCount64();
    harness::run(harness::bin_path(L"security_cache.exe"), {L"exit", L"0"}, options);
    ULONGLONG took = GetTickCount64() - started;
    room.note = "cached run ended after " + std::to_string(took) + " ms\n";
    bool delayed = took > lock_delay_limit_ms;
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return delayed;
}

// The published directory's name is a link to the victim.
bool base_entry_link_followed(race_room &room) {
    std::wstring planted = room.published();
    harness::remove_tree(planted);
    EXPECT_TRUE(harness::plant_directory_link(planted, room.victim));
    run_cached(room);
    bool lost = room.victim_touched();
    harness::remove_host_link(planted);
    return lost;
}

TEST(Races, NoneWorks) {
    const struct {
        const char *attack;
        std::function<bool(race_room &)> works;
    } rows[] = {
        {"tree removal follows a directory swapped for a link mid-walk", removal_follows_swap},
        {"the cache checks one directory, then runs whatever is at that path", checked_then_swapped},
        {"clean-up follows a link that appears after the link walk", cleanup_follows_late_link},
        {"extraction writes through a link planted in the new directory", extraction_writes_through_link},
        {"the sweep takes the first number in a directory name as the launcher's PID", sweep_takes_time_for_pid},
        {"anyone can hold the cache's mutex", held_mutex_delays},
        {"the published directory's name planted as a link", base_entry_link_followed},
    };
    for (const auto &row : rows) {
        bool worked = false;
        int tried = 0;
        std::string log;
        while (!worked && tried < tries) {
            race_room room;
            worked = row.works(room);
            log = room.watcher_log() + room.note;
            tried++;
        }
        printf("[ race ] %s: %s (%d %s)\n", row.attack, worked ? "WORKED" : "held", tried,
               tried == 1 ? "try" : "tries");
        EXPECT_FALSE(worked) << row.attack << ": worked on try " << tried << "\n" << log;
    }
}

}  // namespace
