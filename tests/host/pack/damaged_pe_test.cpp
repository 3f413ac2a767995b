// Damaged and hostile PE files (the PE fuzzer's regression inputs) handed to
// velsor-pack as a user could: as the entry, as --launcher, and to list.
// Each run ends at once with status 0 or with one clear error line and
// status 1: never a crash, a hang, a huge allocation or a stray exception.
#include <gtest/gtest.h>

#include <chrono>

#include "support.h"

using namespace packtest;

TEST(DamagedPe, EachUseEndsInOneClearLine) {
    for (const auto &input : fs::directory_iterator(VELSOR_PE_REGRESSIONS)) {
        scratch s;
        fs::path app = make_app(s);
        fs::copy_file(input.path(), app / "tool.exe");
        const std::string out = (s / "out.exe").string();
        for (const auto &args : std::vector<std::vector<std::string>>{
                 {"build", app.string(), "--entry", "tool.exe", "-o", out, "--level", "1"},
                 {"build", app.string(), "--entry", "app.dll", "-o", out, "--launcher", input.path().string()},
                 {"list", input.path().string()}}) {
            SCOPED_TRACE(input.path().filename().string() + ": " + args.back());
            auto start = std::chrono::steady_clock::now();
            result r = pack(args);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
            auto err = lines(r.err);
            if (r.status == 0) {
                continue;
            }
            EXPECT_EQ(r.status, 1);
            ASSERT_EQ(err.size(), 1u) << r.err;
            EXPECT_EQ(err[0].rfind("velsor-pack: error: ", 0), 0u) << err[0];
            EXPECT_EQ(err[0].find("std::"), std::string::npos) << err[0];
            EXPECT_EQ(err[0].find("past the end of a buffer"), std::string::npos) << err[0];
        }
    }
}
