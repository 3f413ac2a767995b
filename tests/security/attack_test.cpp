// Attacks on the unpacked directory, the cache and clean-up, under Wine.
// Each row plants what an attacker would (a directory made first, a forged
// record, a swapped file, a link) and says whether the attack worked.
#include <gtest/gtest.h>
#include <aclapi.h>
#include <sddl.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "base/text.h"
#include "cache/record.h"
#include "cache/trust.h"
#include "tests/support/harness.h"

namespace {

const int genuine_exit = 5, attacker_id = 13, payload_plugin_id = 41;

struct attack_room {
    std::wstring scratch = harness::make_scratch_directory(L"velsor_attack_");
    std::wstring base = harness::temp_directory() + L"\\velsor_attack_base";
    std::wstring victim = scratch + L"\\victim";
    std::wstring victim_file = victim + L"\\precious.txt";
    attack_room() {
        harness::remove_tree(base);
        CreateDirectoryW(victim.c_str(), NULL);
        write(victim_file, "mine\n");
    }
    ~attack_room() {
        for (const auto &link : links) {
            harness::remove_host_link(link);  // a link whose target is gone no longer lists
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
    std::vector<std::wstring> links;
    bool plant_link(const std::wstring &link) {
        links.push_back(link);
        return harness::plant_directory_link(link, victim);
    }
    bool victim_touched() const { return harness::read_file(victim_file) != "mine\n"; }
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

DWORD run_cached(const std::wstring &mode, const std::wstring &value) {
    return harness::run(harness::bin_path(L"security_cache.exe"), {mode, value}).exit_code;
}

// The attacker's application DLL, grown to `size` (data after the image
// does not stop it from loading).
std::string attacker_dll(size_t size) {
    std::string dll = harness::read_file(harness::windows_path(VELSOR_DECOY_DLL));
    dll.resize(std::max(size, dll.size()), '\0');
    return dll;
}

// A directory whose access list lets everyone do anything, as an attacker
// who wants others to take it for theirs would leave it.
void create_open_directory(const std::wstring &path) {
    CreateDirectoryW(path.c_str(), NULL);
    PSECURITY_DESCRIPTOR descriptor = NULL;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;GA;;;WD)", SDDL_REVISION_1, &descriptor, NULL);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = NULL;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    SetNamedSecurityInfoW((LPWSTR)path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, dacl, NULL);
    LocalFree(descriptor);
}

// Whether each attack worked. On the launcher before these checks, every
// one but the packer's row did.
//
// A whole record in the format in use, built with the cache's own record
// code, naming the program and the attacker's probe.dll with its real size
// and write time: only the access list of the planted directory (everyone
// may write) gives it away, since Wine shows every file as the current
// user's.
bool forged_record_runs(attack_room &room) {
    std::wstring planted = room.published();
    std::wstring program = harness::recorded_program(planted);
    harness::remove_tree(planted);  // the attacker comes first; the name is public (velsor-pack list)
    CreateDirectoryW(room.base.c_str(), NULL);
    create_open_directory(planted);
    CreateDirectoryW((planted + L"\\.velsor").c_str(), NULL);
    std::string dll = attacker_dll(0);
    room.write(planted + L"\\probe.dll", dll);
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExW((planted + L"\\probe.dll").c_str(), GetFileExInfoStandard, &data);
    cache_record record = {};
    EXPECT_TRUE(cache_record_start(&record, program.c_str()));
    EXPECT_TRUE(cache_record_add_file(&record, L"probe.dll", dll.size(), filetime_count(data.ftLastWriteTime)));
    EXPECT_TRUE(cache_record_finish(&record));
    room.write(planted + L"\\.velsor\\complete", std::string((const char *)record.text, record.length * 2));
    free(record.text);
    return run_cached(L"exit", std::to_wstring(genuine_exit)) == (DWORD)attacker_id;
}

bool same_size_swap_runs(attack_room &room) {
    std::wstring dll = room.published() + L"\\probe.dll";
    room.write(dll, attacker_dll(harness::read_file(dll).size()));
    return run_cached(L"exit", std::to_wstring(genuine_exit)) == (DWORD)attacker_id;
}

bool sibling_link_followed(attack_room &room) {
    std::wstring sibling = room.base + L"\\0000000000000000.x";
    CreateDirectoryW(room.base.c_str(), NULL);
    CreateDirectoryW(sibling.c_str(), NULL);
    CreateDirectoryW((sibling + L"\\.velsor").c_str(), NULL);
    EXPECT_TRUE(room.plant_link(sibling + L"\\victim"));
    run_cached(L"exit", L"0");
    return room.victim_touched();
}

bool link_planted_during_run_followed(attack_room &room) {
    std::wstring report = room.scratch + L"\\report";
    HANDLE run = harness::start(harness::bin_path(L"security_default.exe"), {L"report-then-sleep", report, L"3000"});
    for (int i = 0; i < 3000 && !harness::path_exists(report); i++) {
        Sleep(10);
    }
    std::wstring wide = harness::read_utf16_file(report);
    size_t at = wide.find(L"dll_path=");
    std::wstring dll = at == std::wstring::npos ? L"" : wide.substr(at + 9, wide.find(L'\0', at) - at - 9);
    std::wstring directory = dll.substr(0, dll.rfind(L'\\'));
    EXPECT_TRUE(room.plant_link(directory + L"\\victim")) << harness::narrow(directory);
    WaitForSingleObject(run, 60000);
    CloseHandle(run);
    bool followed = room.victim_touched();
    harness::remove_tree(directory);
    return followed;
}

// The default template made predictable, as a local attacker would learn
// it, by patching it in a copy of the packed executable.
std::wstring with_fixed_target(const attack_room &room, const std::wstring &target_name) {
    std::string exe = harness::read_file(harness::bin_path(L"security_default.exe"));
    std::wstring from = L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}", to = L"{TEMP}\\" + target_name;
    std::string from_bytes((const char *)from.c_str(), from.size() * 2);
    std::string to_bytes((const char *)to.c_str(), to.size() * 2);
    to_bytes.resize(from_bytes.size(), '\0');
    size_t at = exe.find(from_bytes);
    EXPECT_NE(at, std::string::npos);
    exe.replace(at, from_bytes.size(), to_bytes);
    std::wstring patched = room.scratch + L"\\fixed.exe";
    room.write(patched, exe);
    return patched;
}

bool existing_target_used(attack_room &room) {
    std::wstring target = harness::temp_directory() + L"\\velsor_attack_fixed";
    harness::remove_tree(target);
    CreateDirectoryW(target.c_str(), NULL);
    EXPECT_TRUE(room.plant_link(target + L"\\data"));
    harness::run_result r = harness::run(with_fixed_target(room, L"velsor_attack_fixed"), {L"exit", L"0"});
    bool used = r.exit_code == 0 || harness::path_exists(room.victim + L"\\note.txt") || room.victim_touched();
    harness::remove_tree(target);
    return used;
}

bool dotdot_block_linked(attack_room &room) {
    std::wstring out = room.scratch + L"\\dotdot.exe";
    harness::run(harness::bin_path(L"velsor-pack.exe"),
                 {L"link", harness::windows_path(VELSOR_DOTDOT_BLOCK), L"-o", out});
    return harness::path_exists(out);
}

// What `load plugin.dll` gives for a copy of the default executable in the
// scratch directory, with the attacker's plugin.dll beside it or not.
DWORD plugin_loaded(attack_room &room, bool decoy) {
    std::wstring exe = room.scratch + L"\\app.exe";
    CopyFileW(harness::bin_path(L"security_default.exe").c_str(), exe.c_str(), FALSE);
    if (decoy) {
        CopyFileW(harness::windows_path(VELSOR_DECOY_DLL).c_str(), (room.scratch + L"\\plugin.dll").c_str(), FALSE);
    }
    return harness::run(exe, {L"load", L"plugin.dll"}).exit_code;
}

// Not an attack but the fault beside it: the payload's own DLL was not on
// the search path at all, so a DLL of that name from anywhere on it won.
bool payload_plugin_not_found(attack_room &room) { return plugin_loaded(room, false) != (DWORD)payload_plugin_id; }

TEST(Attacks, NoneWorks) {
    const struct {
        const char *attack;
        std::function<bool(attack_room &)> works;
    } rows[] = {
        {"a forged record and another probe.dll in a shared cache base", forged_record_runs},
        {"a same-size swap of probe.dll in a published cache directory", same_size_swap_runs},
        {"a link in a sibling version directory of the cache", sibling_link_followed},
        {"a link planted in the default directory during the run", link_planted_during_run_followed},
        {"a target directory that exists already, with a link in it", existing_target_used},
        {"a foreign block with ..\\..\\ names given to link", dotdot_block_linked},
        {"the payload's own plugin.dll, loaded by name, is not found", payload_plugin_not_found},
    };
    for (const auto &row : rows) {
        attack_room room;
        EXPECT_FALSE(row.works(room)) << row.attack;
    }
}

// The application directory (the executable's) comes first in the
// system's search order, before any directory that SetDllDirectoryW adds,
// on Windows and under Wine alike. Taking it off (SetDefaultDllDirectories)
// would also take the Windows directory and PATH off the application's
// search, so the launcher leaves the order as it is: a plugin.dll beside
// the executable still wins (SECURITY.md). This test notices if that changes.
TEST(KnownLimits, PluginBesideTheExecutableStillWins) {
    attack_room room;
    EXPECT_EQ(plugin_loaded(room, true), (DWORD)attacker_id);
}

// The directories of the cache carry an owner-only list: the user, SYSTEM
// and Administrators, nobody else.
TEST(CacheSecurity, OwnerOnlyAccessLists) {
    attack_room room;
    std::wstring published = room.published();
    BYTE token_user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    HANDLE token = NULL;
    DWORD size = 0;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, token_user, sizeof token_user, &size));
    CloseHandle(token);
    PSID user = ((TOKEN_USER *)token_user)->User.Sid;
    for (const std::wstring &directory : {room.base, published, published + L"\\.velsor"}) {
        PACL dacl = NULL;
        PSECURITY_DESCRIPTOR descriptor = NULL;
        ASSERT_EQ(GetNamedSecurityInfoW(directory.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL,
                                        &dacl, NULL, &descriptor),
                  (DWORD)ERROR_SUCCESS);
        ASSERT_NE(dacl, nullptr);
        EXPECT_GE(dacl->AceCount, 2u) << harness::narrow(directory);
        for (DWORD i = 0; i < dacl->AceCount; i++) {
            ACCESS_ALLOWED_ACE *ace = NULL;
            ASSERT_TRUE(GetAce(dacl, i, (void **)&ace));
            PSID sid = &ace->SidStart;
            bool owner_side = EqualSid(sid, user) || IsWellKnownSid(sid, WinLocalSystemSid) ||
                              IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
            EXPECT_TRUE(owner_side) << harness::narrow(directory) << " entry " << i;
        }
        LocalFree(descriptor);
    }
    EXPECT_TRUE(only_owner_can_write(published.c_str()));
}

// Wine shows every file as the current user's, so the ownership decisions
// are made here by an injected check that disowns one entry.
std::wstring disowned;
bool owned_unless_disowned(const wchar_t *path) { return _wcsicmp(path, disowned.c_str()) != 0; }

TEST(CacheSecurity, EveryEntryMustBeOwned) {
    attack_room room;
    std::wstring published = room.published();
    std::wstring program = harness::recorded_program(published);
    disowned = L"";
    EXPECT_TRUE(cache_directory_trusted(published.c_str(), program.c_str(), owned_unless_disowned, trust_only_look));
    EXPECT_FALSE(cache_directory_trusted(published.c_str(), L"C:\\other\\app.exe", owned_unless_disowned, trust_only_look));
    // The directory, the record, the DLLs, and the subdirectory that stands
    // for the data files in it.
    for (const wchar_t *entry : {L"", L"\\.velsor\\complete", L"\\probe.dll", L"\\plugin.dll", L"\\data"}) {
        disowned = published + entry;
        EXPECT_FALSE(cache_directory_trusted(published.c_str(), program.c_str(), owned_unless_disowned, trust_only_look))
            << harness::narrow(entry);
    }
}

}  // namespace
