// The cache record's text, built and read back on the host.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "cache/record.h"

namespace {

const wchar_t program[] = L"C:\\Apps\\Tool\\app.exe";

// A record of files `names`, with a directory line for each of
// `directories` added after the files (it still comes before them).
std::wstring built(const std::vector<std::wstring> &names, const std::vector<std::wstring> &directories = {},
                   uint64_t unflushed_since = 0) {
    cache_record record = {};
    EXPECT_TRUE(cache_record_start(&record, program));
    if (unflushed_since != 0) {
        EXPECT_TRUE(cache_record_add_unflushed(&record, unflushed_since));
    }
    uint64_t n = 0;
    for (const auto &name : names) {
        EXPECT_TRUE(cache_record_add_file(&record, name.c_str(), 1000 + n, 132000000000000000ull + n));
        n++;
    }
    for (const auto &name : directories) {
        EXPECT_TRUE(cache_record_add_directory(&record, name.c_str(), 133000000000000000ull));
    }
    EXPECT_TRUE(cache_record_finish(&record));
    std::wstring text = record.text;
    cache_record_free(&record);
    return text;
}

bool collect(void *context, const cache_record_item *item) {
    static const wchar_t *const kinds[] = {L"", L"dir ", L"unflushed "};
    auto *seen = static_cast<std::vector<std::wstring> *>(context);
    seen->push_back(kinds[item->kind] + std::wstring(item->name) + L"|" + std::to_wstring(item->size) + L"|" +
                    std::to_wstring(item->write_time));
    return true;
}

// Whether `text` reads back as a whole record of `who`, and what it lists.
bool reads(std::wstring text, const wchar_t *who = program, std::vector<std::wstring> *seen = nullptr) {
    std::vector<std::wstring> local;
    return cache_record_read(text.data(), who, collect, seen ? seen : &local);
}

TEST(CacheRecord, RoundTrip) {
    std::wstring text = built({L"app.dll", L"data\\a b.txt"});
    EXPECT_EQ(text, L"velsor cache 3\nprogram C:\\Apps\\Tool\\app.exe\n1000 132000000000000000 app.dll\n"
                    L"1001 132000000000000001 data\\a b.txt\nend 2\n");
    std::vector<std::wstring> seen;
    EXPECT_TRUE(reads(text, L"c:\\apps\\tool\\APP.EXE", &seen));
    EXPECT_EQ(seen, (std::vector<std::wstring>{L"app.dll|1000|132000000000000000",
                                               L"data\\a b.txt|1001|132000000000000001"}));
    EXPECT_TRUE(cache_record_names_program(text.c_str(), program));
}

// The unflushed mark and the directory lines come first, the top's name
// empty, and count in the end line.
TEST(CacheRecord, DirectoriesBeforeFiles) {
    std::wstring text = built({L"app.dll", L"data\\a.txt"}, {L"", L"data"}, 42);
    EXPECT_EQ(text, L"velsor cache 3\nprogram C:\\Apps\\Tool\\app.exe\nunflushed 42\ndirectory 133000000000000000 \n"
                    L"directory 133000000000000000 data\n1000 132000000000000000 app.dll\n"
                    L"1001 132000000000000001 data\\a.txt\nend 5\n");
    std::vector<std::wstring> seen;
    EXPECT_TRUE(reads(text, program, &seen));
    EXPECT_EQ(seen, (std::vector<std::wstring>{L"unflushed |0|42", L"dir |0|133000000000000000", L"dir data|0|133000000000000000",
                                               L"app.dll|1000|132000000000000000",
                                               L"data\\a.txt|1001|132000000000000001"}));
}

// Each of these is not a whole record of the program.
TEST(CacheRecord, Refused) {
    const std::wstring good = built({L"app.dll"});
    const std::wstring head = L"velsor cache 3\nprogram C:\\Apps\\Tool\\app.exe\n";
    struct row {
        const char *what;
        std::wstring text;
    } rows[] = {
        {"first and last line only", L"velsor cache 1\nend\n"},
        {"no files", head + L"end 0\n"},
        {"fewer files than the end line says", head + L"1 2 app.dll\nend 2\n"},
        {"more files than the end line says", head + L"1 2 app.dll\n1 2 b.dll\nend 1\n"},
        {"no end line", head + L"1 2 app.dll\n"},
        {"text after the end line", good + L"1 2 b.dll\n"},
        {"another program", built({L"app.dll"}).replace(head.size() - 8, 3, L"APX")},
        {"a program whose path only begins the same", head.substr(0, head.size() - 1) + L"x\n1 2 a\nend 1\n"},
        {"an older header", L"velsor cache 1\nprogram C:\\Apps\\Tool\\app.exe\n1 2 app.dll\nend 1\n"},
        {"the previous version's header", L"velsor cache 2\nprogram C:\\Apps\\Tool\\app.exe\n1 2 app.dll\nend 1\n"},
        {"directories only", head + L"directory 2 \ndirectory 2 data\nend 2\n"},
        {"a directory line not counted", head + L"directory 2 \n1 2 app.dll\nend 1\n"},
        {"a directory name with ..", head + L"directory 2 ..\n1 2 app.dll\nend 2\n"},
        {"a directory line without a time", head + L"directory data\n1 2 app.dll\nend 2\n"},
        {"an unflushed mark without a time", head + L"unflushed \n1 2 app.dll\nend 2\n"},
        {"an unflushed mark with more after it", head + L"unflushed 42 x\n1 2 app.dll\nend 2\n"},
        {"a name with ..", head + L"1 2 ..\\..\\x.dll\nend 1\n"},
        {"an absolute name", head + L"1 2 C:\\x.dll\nend 1\n"},
        {"a name with a leading backslash", head + L"1 2 \\x.dll\nend 1\n"},
        {"a size that is no number", head + L"1x 2 app.dll\nend 1\n"},
        {"no time", head + L"1 app.dll\nend 1\n"},
        {"a size beyond 64 bits", head + L"18446744073709551616 2 app.dll\nend 1\n"},
        {"an empty text", L""},
    };
    EXPECT_TRUE(reads(good));
    for (const auto &r : rows) {
        EXPECT_FALSE(reads(r.text)) << r.what;
    }
    EXPECT_FALSE(cache_record_names_program(L"velsor cache 2\nprogram C:\\Apps\\Tool\\app.exe.old\n", program));
    EXPECT_TRUE(cache_record_names_program(head.c_str(), program)) << "a private directory's record";
    EXPECT_TRUE(cache_record_names_program(L"velsor cache 2\nprogram C:\\Apps\\Tool\\app.exe\n", program))
        << "the previous version's directories are still this program's";
}

// The visitor decides about each file, and its refusal ends the reading.
TEST(CacheRecord, VisitorRefusalFails) {
    std::wstring text = built({L"a", L"b"});
    int calls = 0;
    auto refuse_first = [](void *context, const cache_record_item *) {
        ++*static_cast<int *>(context);
        return false;
    };
    EXPECT_FALSE(cache_record_read(text.data(), program, refuse_first, &calls));
    EXPECT_EQ(calls, 1);
}

}  // namespace
