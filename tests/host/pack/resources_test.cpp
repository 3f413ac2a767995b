// The input checks of the icon and version resources: every kind of bad
// icon file, version number and version string gives a pack_error that says
// what is wrong, and through the command line one error line and no
// executable.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "pack/base/base.h"
#include "pack/pe/rsrc/rsrc.h"
#include "support.h"

using namespace packtest;
using velsor::pack_error;

namespace {

void put16(std::string &b, size_t at, unsigned v) {
    b[at] = static_cast<char>(v);
    b[at + 1] = static_cast<char>(v >> 8);
}

void put32(std::string &b, size_t at, std::uint32_t v) {
    for (int k = 0; k < 4; k++) {
        b[at + k] = static_cast<char>(v >> (8 * k));
    }
}

// Offsets in the icon file below.
constexpr size_t entry1 = 6, entry2 = 22;      // directory entries
constexpr size_t bitmap = 38;                  // image 1: BITMAPINFOHEADER
constexpr size_t bitmap_size = 40 + 16 * 16 * 4 + 16 * 4;
constexpr size_t png = bitmap + bitmap_size;   // image 2
constexpr size_t png_size = 8 + 8 + 13 + 4;    // signature and IHDR chunk

// A well-formed icon file: a 16x16 32-bit bitmap and a 32x32 PNG image.
std::string good_icon() {
    std::string b(png + png_size, '\0');
    put16(b, 2, 1);
    put16(b, 4, 2);
    const size_t sizes[] = {bitmap_size, png_size}, offsets[] = {bitmap, png}, dims[] = {16, 32};
    for (size_t i = 0; i < 2; i++) {
        size_t e = entry1 + 16 * i;
        b[e] = b[e + 1] = static_cast<char>(dims[i]);
        put16(b, e + 4, 1);
        put16(b, e + 6, 32);
        put32(b, e + 8, static_cast<std::uint32_t>(sizes[i]));
        put32(b, e + 12, static_cast<std::uint32_t>(offsets[i]));
    }
    put32(b, bitmap, 40);
    put32(b, bitmap + 4, 16);
    put32(b, bitmap + 8, 32);
    put16(b, bitmap + 12, 1);
    put16(b, bitmap + 14, 32);
    std::memcpy(&b[png], "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x20\0\0\0\x20\x08\x06", 26);
    return b;
}

struct icon_case {
    const char *what;
    std::function<void(std::string &)> damage;
    const char *message;  // expected in the error; null: the file is fine
};

}  // namespace

TEST(Resources, IconFiles) {
    const icon_case cases[] = {
        {"good", [](std::string &) {}, nullptr},
        {"text file", [](std::string &b) { b = "just some text, no icon"; }, "is not an icon file (no icon header)"},
        {"too short", [](std::string &b) { b.resize(3); }, "is not an icon file (only 3 bytes)"},
        {"cursor", [](std::string &b) { put16(b, 2, 2); }, "is a cursor file, not an icon file"},
        {"no images", [](std::string &b) { put16(b, 4, 0); }, "the icon file holds no images"},
        {"directory cut", [](std::string &b) { b.resize(30); },
         "is truncated: its directory lists 2 images (38 bytes) but the file ends after 30"},
        {"size past the end", [](std::string &b) { put32(b, entry2 + 8, 4096); },
         ": image 2 says 4096 bytes at offset 1166 but the file ends after 1199"},
        {"file cut in an image", [](std::string &b) { b.resize(b.size() - 10); },
         ": image 2 says 33 bytes at offset 1166 but the file ends after 1189"},
        {"inside the directory", [](std::string &b) { put32(b, entry1 + 12, 10); },
         ": image 1 starts at offset 10, inside the icon directory (which ends at 38)"},
        {"empty image", [](std::string &b) { put32(b, entry2 + 8, 0); }, ": image 2 is empty"},
        {"png size disagrees", [](std::string &b) { b[entry2] = 48; },
         ": image 2 is a PNG image of 32x32 pixels but its directory entry says 48x32"},
        {"png 256 is 0", [](std::string &b) { b[entry2] = b[entry2 + 1] = 0; },
         ": image 2 is a PNG image of 32x32 pixels but its directory entry says 256x256"},
        {"png without IHDR", [](std::string &b) { b[png + 12] = 'X'; }, "does not start with its IHDR chunk"},
        {"png cut", [](std::string &b) { put32(b, entry2 + 8, 20); }, "is a PNG image too short for its header"},
        {"bitmap width", [](std::string &b) { b[entry1] = 24; },
         ": image 1 is a bitmap 16 pixels wide but its directory entry says 24x16"},
        {"bitmap height", [](std::string &b) { put32(b, bitmap + 8, 16); },
         ": image 1 is a bitmap of height 16, not twice the height 16 of its directory entry"},
        {"bitmap header", [](std::string &b) { put32(b, bitmap, 108); },
         "nor a bitmap with a 40-byte BITMAPINFOHEADER"},
        {"bitmap planes", [](std::string &b) { put16(b, bitmap + 12, 2); }, "is a bitmap with 2 planes, not 1"},
        {"bitmap bits", [](std::string &b) { put16(b, bitmap + 14, 7); }, "unsupported bit count of 7"},
        {"bitmap compressed", [](std::string &b) { put32(b, bitmap + 16, 3); }, "is a compressed bitmap"},
        {"mask does not fit", [](std::string &b) { put32(b, bitmap + 32, 100); },
         ": image 1 is a 16x16 bitmap of 32 bits that needs 1528 bytes (header, colours, image and mask) but has 1128"},
    };
    scratch s;
    for (const auto &c : cases) {
        std::string bytes = good_icon();
        c.damage(bytes);
        fs::path file = s / "app.ico";
        write_file(file, bytes);
        try {
            auto resources = velsor::icon_resources(file);
            EXPECT_EQ(c.message, nullptr) << c.what << ": accepted";
            EXPECT_EQ(resources.size(), 3u) << c.what;
        } catch (const pack_error &e) {
            ASSERT_NE(c.message, nullptr) << c.what << ": " << e.what();
            std::string text = e.what();
            EXPECT_NE(text.find(c.message), std::string::npos) << c.what << ": " << text;
            EXPECT_EQ(text.rfind(file.string(), 0), 0u) << c.what << ": names no file: " << text;
        }
    }
    EXPECT_THROW(velsor::icon_resources(s / "missing.ico"), pack_error);
}

TEST(Resources, VersionNumbers) {
    for (const char *good : {"0.0.0.0", "1.2.3.4", "65535.65535.65535.65535", "01.2.3.4"}) {
        EXPECT_NO_THROW(velsor::parse_version_number(good)) << good;
    }
    for (const char *bad : {"", "1.2.3", "1.2.3.4.5", "1.2.3.65536", "1.2.3.4294967296", "a.b.c.d", "1..3.4",
                            "-1.2.3.4", "+1.2.3.4", " 1.2.3.4", "1.2.3.4 ", "0x1.2.3.4", "1.2.3.", "1,2,3,4"}) {
        try {
            velsor::parse_version_number(bad);
            ADD_FAILURE() << "accepted \"" << bad << "\"";
        } catch (const pack_error &e) {
            EXPECT_EQ(std::string(e.what()),
                      "--version takes four numbers from 0 to 65535 separated by dots (A.B.C.D), not \"" +
                          std::string(bad) + "\"");
        }
    }
}

TEST(Resources, VersionStrings) {
    struct text_case {
        const char *what;
        velsor::version_strings strings;
        const char *message;  // null: accepted
    };
    const std::string long_text(20000, 'a');
    const text_case cases[] = {
        {"all strings", {"Product ☃", "Company", "Description", "© 2025", "app.exe", "app"}, nullptr},
        {"none", {}, nullptr},
        {"tab", {"a\tb", {}, {}, {}, "app.exe", "app"}, "--product holds a control character (U+0009)"},
        {"delete", {{}, "a\x7f", {}, {}, "app.exe", "app"}, "--company holds a control character (U+007F)"},
        {"C1 control", {{}, {}, "\xc2\x85", {}, "app.exe", "app"}, "--description holds a control character (U+0085)"},
        {"line feed in a file name", {{}, {}, {}, {}, "a\nb.exe", "a"},
         "the original file name (OriginalFilename) holds a control character (U+000A)"},
        {"bad UTF-8", {{}, {}, {}, "\xff", "app.exe", "app"}, "--copyright is not valid UTF-8"},
        {"cut UTF-8", {{}, {}, {}, {}, "app.exe", "\xe2\x98"}, "the internal name (InternalName) is not valid UTF-8"},
        {"one too long", {{}, {}, std::string(70000, 'x'), {}, "app.exe", "app"},
         "--description is too long for the version resource (70000 UTF-16 units; one string may take at most 65535 "
         "bytes)"},
        {"one just too long", {{}, {}, std::string(32747, 'x'), {}, "app.exe", "app"},
         "--description is too long for the version resource (32747 UTF-16 units"},
        {"one that would fit alone", {{}, {}, std::string(32746, 'x'), {}, "app.exe", "app"},
         "the version strings together are too long for the version resource"},
        {"too long together", {long_text, long_text, {}, {}, "app.exe", "app"},
         "the version strings together are too long for the version resource"},
    };
    for (const auto &c : cases) {
        try {
            velsor::resource r = velsor::version_resource({1, 2, 3, 4}, c.strings);
            EXPECT_EQ(c.message, nullptr) << c.what << ": accepted";
            EXPECT_EQ(r.type, velsor::rt_version) << c.what;
        } catch (const pack_error &e) {
            ASSERT_NE(c.message, nullptr) << c.what << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.what << ": " << e.what();
        }
    }
}

TEST(Resources, BadInputLeavesNoExecutable) {
    struct bad_input {
        const char *what;
        std::vector<std::string> options;
        std::function<void(std::string &)> damage;  // of the icon file given as --icon
        const char *fragment;
    };
    const std::string long_text(40000, 'x');
    const std::vector<bad_input> cases = {
        {"not an icon file", {}, [](std::string &b) { b = "GIF89a, not an icon"; }, "is not an icon file"},
        {"a truncated icon", {}, [](std::string &b) { b.resize(b.size() - 10); }, "but the file ends after"},
        {"an icon without images", {}, [](std::string &b) { put16(b, 4, 0); }, "holds no images"},
        {"an image whose size disagrees", {}, [](std::string &b) { b[entry2] = 48; }, "its directory entry says 48x32"},
        {"three numbers", {"--version", "1.2.3"}, nullptr, "--version takes four numbers"},
        {"a number past 65535", {"--version", "1.2.3.70000"}, nullptr, "--version takes four numbers"},
        {"a control character", {"--version", "1.0.0.0", "--company", "a\x1b[31mb"}, nullptr,
         "--company holds a control character (U+001B)"},
        {"a string too long", {"--version", "1.0.0.0", "--copyright", long_text}, nullptr,
         "--copyright is too long for the version resource"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        scratch s;
        fs::path app = make_app(s), out = s / "out.exe";
        write_file(out, "an earlier build");
        std::vector<std::string> args{"build", app.string(), "--entry", "app.dll", "-o", out.string()};
        args.insert(args.end(), c.options.begin(), c.options.end());
        if (c.damage) {
            std::string icon = good_icon();
            c.damage(icon);
            write_file(s / "app.ico", icon);
            args.insert(args.end(), {"--icon", (s / "app.ico").string()});
        }
        expect_refused(pack(args), out, "an earlier build", c.fragment);
    }
    result r = pack({"build", "app", "--entry", "app.dll", "-o", "out.exe", "--product", "no version"});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("need --version"), std::string::npos) << r.err;
}
