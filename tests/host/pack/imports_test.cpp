// A program as the entry: each DLL it imports or delay-loads that is neither
// beside it in APPDIR nor a Windows system DLL gets one warning line at pack
// time, since the packed program could not start; packing still succeeds.
#include <gtest/gtest.h>

#include "support.h"

using namespace packtest;

TEST(Imports, MissingDllsAreNamedAtPackTime) {
    const std::string sevenzip = std::string(VELSOR_TEST_SEVENZIP_DIR) + "/7z.exe";
    struct row {
        const char *what;
        std::string program;              // copied into APPDIR as the entry
        std::string entry;                // its place in APPDIR
        std::vector<std::string> beside;  // other files in APPDIR
        std::vector<std::string> warned;  // the DLLs named in warnings
    };
    const std::string needs = std::string(VELSOR_TEST_PE_DIR) + "/needs_absent.exe";
    for (const row &r : std::vector<row>{
             {"only system DLLs", std::string(VELSOR_TEST_PE_DIR) + "/program.exe", "program.exe", {}, {}},
             {"7-Zip", sevenzip, "7z.exe", {}, {}},
             {"an import and a delay-load missing", needs, "bin/tool.exe", {}, {"absent.dll", "delayed.dll"}},
             {"both beside it, in other letter case", needs, "bin/tool.exe", {"bin/ABSENT.dll", "bin/Delayed.DLL"}, {}},
             {"one in APPDIR, not beside it", needs, "bin/tool.exe", {"absent.dll", "bin/delayed.dll"}, {"absent.dll"}},
         }) {
        SCOPED_TRACE(r.what);
        scratch s;
        fs::path app = make_app(s);
        fs::create_directories((app / r.entry).parent_path());
        fs::copy_file(r.program, app / r.entry);
        for (const auto &file : r.beside) {
            write_file(app / file, "x");
        }
        result out = pack({"build", app.string(), "--entry", r.entry, "-o", (s / "out.exe").string(), "--level", "1"});
        EXPECT_EQ(out.status, 0) << out.err;
        std::vector<std::string> expected;
        for (const auto &dll : r.warned) {
            expected.push_back("velsor-pack: warning: bin\\tool.exe imports " + dll +
                               ", which is neither in APPDIR nor a Windows system DLL; the packed program will not "
                               "start without it");
        }
        EXPECT_EQ(lines(out.err), expected) << out.err;
    }
}
