// The packer writes the executable itself, from the launcher it carries or
// from another launcher build: no toolchain at pack time, and every launcher,
// block or output it cannot use refused with one error line.
#include <gtest/gtest.h>

#include <functional>

#include "pack/image/image.h"
#include "pack/pe/pe.h"
#include "support.h"

using namespace packtest;

namespace {

const fs::path launcher_exe = VELSOR_LAUNCHER_EXE;

// A copy of the launcher with `change` applied to its bytes.
fs::path changed_launcher(const scratch &s, const std::function<void(std::string &)> &change) {
    std::string bytes = read_file(launcher_exe);
    change(bytes);
    write_file(s / "changed.exe", bytes);
    return s / "changed.exe";
}

velsor::pe_headers launcher_headers() {
    std::string text = read_file(launcher_exe);
    return velsor::parse_pe_headers(velsor::bytes(text.begin(), text.end()), launcher_exe.string());
}

}  // namespace

TEST(Launcher, PackingRunsNoOtherProgram) {
    scratch s;
    fs::path app = make_app(s), out = s / "app.exe";
    // No environment, no PATH: a compiler could not even be found.
    result r = run({"env", "-i", "PATH=/nonexistent", "/usr/bin/strace", "-f", "-qq", "-e", "trace=execve,execveat",
                    "-o", (s / "trace").string(), VELSOR_PACK_EXE, "build", app.string(), "--entry", "app.dll", "-o",
                    out.string(), "--level", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines(read_file(s / "trace")).size(), 1u) << "velsor-pack started programs:\n" << read_file(s / "trace");
    EXPECT_EQ(pack({"verify", out.string(), app.string()}).status, 0);
}

TEST(Launcher, TheBuiltInLauncherIsTheBuiltLauncherFile) {
    scratch s;
    fs::path app = make_app(s);
    ASSERT_EQ(pack({"build", app.string(), "--entry", "app.dll", "-o", (s / "a.exe").string(), "--level", "1"}).status, 0);
    result r = pack({"build", app.string(), "--entry", "app.dll", "-o", (s / "b.exe").string(), "--level", "1",
                     "--launcher", launcher_exe.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(s / "a.exe") == read_file(s / "b.exe"));
}

TEST(Launcher, WhatCannotBeUsedIsRefusedAndTheOutputLeftAlone) {
    struct bad_input {
        const char *what;
        std::function<std::vector<std::string>(const scratch &, const fs::path &app, const fs::path &out)> args;
        const char *fragment;
    };
    auto build_with = [](const fs::path &launcher) {
        return [launcher](const scratch &, const fs::path &app, const fs::path &out) {
            return std::vector<std::string>{"build", app.string(), "--entry", "app.dll", "-o", out.string(),
                                            "--launcher", launcher.string()};
        };
    };
    auto build_with_changed = [&](std::function<void(std::string &)> change) {
        return [change](const scratch &s, const fs::path &app, const fs::path &out) {
            return std::vector<std::string>{"build", app.string(), "--entry", "app.dll", "-o", out.string(),
                                            "--launcher", changed_launcher(s, change).string()};
        };
    };
    const velsor::pe_headers h = launcher_headers();
    const size_t table_end = h.section_table_offset + h.sections.size() * velsor::pe_section_header_size;
    const std::vector<bad_input> cases = {
        {"a text file", build_with_changed([](std::string &b) { b = "not an executable\n"; }),
         "is not a valid PE file"},
        {"a launcher cut short", build_with_changed([](std::string &b) { b.resize(700); }), "is not a valid PE file"},
        {"a 32-bit executable",
         build_with_changed([&](std::string &b) {
             b[h.coff_offset] = 0x4C;  // IMAGE_FILE_MACHINE_I386
             b[h.coff_offset + 1] = 0x01;
         }),
         "not a 64-bit"},
        {"a DLL", build_with(fs::path(VELSOR_TEST_PE_DIR) / "runner.dll"), "is a DLL"},
        {"an executable with no block record", build_with(fs::path(VELSOR_TEST_PE_DIR) / "program.exe"),
         "no block record"},
        {"a packed executable",
         [](const scratch &s, const fs::path &app, const fs::path &out) {
             EXPECT_EQ(pack({"build", app.string(), "--entry", "app.dll", "-o", (s / "packed.exe").string()}).status, 0);
             return std::vector<std::string>{"build", app.string(), "--entry", "app.dll", "-o", out.string(),
                                             "--launcher", (s / "packed.exe").string()};
         },
         "already holds a payload block"},
        {"headers with no room for a section header",
         build_with_changed([&](std::string &b) { std::fill(b.begin() + table_end, b.begin() + h.size_of_headers, 'x'); }),
         "no room for one more section header"},
        {"a missing launcher", build_with("/nonexistent/launcher.exe"), "cannot read the launcher"},
        {"a block past the loader's image size",
         [](const scratch &s, const fs::path &, const fs::path &out) {
             // Sparse: refused by its size before a byte of it is read.
             std::ofstream(s / "huge.blk").close();
             fs::resize_file(s / "huge.blk", velsor::largest_image_size);
             return std::vector<std::string>{"link", (s / "huge.blk").string(), "-o", out.string()};
         },
         "Windows loads images below"},
        {"an output in a missing directory",
         [](const scratch &s, const fs::path &app, const fs::path &) {
             return std::vector<std::string>{"build", app.string(), "--entry", "app.dll", "-o",
                                             (s / "missing" / "app.exe").string()};
         },
         "cannot write"},
        {"an output that is a directory",
         [](const scratch &s, const fs::path &app, const fs::path &) {
             fs::create_directories(s / "taken.exe");
             return std::vector<std::string>{"build", app.string(), "--entry", "app.dll", "-o", (s / "taken.exe").string()};
         },
         "cannot write"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        scratch s;
        fs::path app = make_app(s), out = s / "out.exe";
        write_file(out, "an earlier build");
        expect_refused(pack(c.args(s, app, out)), out, "an earlier build", c.fragment);
    }
}
