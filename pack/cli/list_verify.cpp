// list and verify: a payload's entries shown, or compared with an
// application directory, and its names checked as extract would check them.
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <map>
#include <ostream>

#include "pack/base/base.h"
#include "pack/checks/checks.h"
#include "pack/cli/cli.h"
#include "pack/image/image.h"
#include "payload/format.h"

namespace fs = std::filesystem;

namespace velsor {

namespace {

constexpr std::uint64_t largest_kept = 16u << 20;  // a bound for keeping velsor's own entries in memory

std::string display(const std::u16string &name) { return utf16_to_utf8(name); }

// The unpack mode line of an executable packed with --cache or
// --unpack-dir; nothing for any other file.
void list_unpack_mode(const fs::path &file, const block_location &block, std::ostream &out) {
    if (auto mode = read_unpack_mode(file, block)) {
        out << "unpack mode: " << (mode->cache ? "cache" : "fresh directory per run") << ", into "
            << display(mode->path_template) << '\n';
    }
}

// The lines of a program's fixed arguments and settings, in their order.
void list_entry_options(const bytes &file, std::ostream &out) {
    auto options = decode_entry_options(file);
    if (!options) {
        out << "entry options: damaged (" << display(entry_options_name()) << " cannot be read)\n";
        return;
    }
    for (const auto &option : *options) {
        out << (option.setting ? "entry environment: " : "entry argument: ") << display(option.text) << '\n';
    }
}

}  // namespace

void list_payload(const fs::path &file, std::ostream &out) {
    block_location block = locate_block(file);
    // A runner as the first entry names the program it starts; the entry
    // file right after it holds the program's fixed arguments.
    size_t index = 0;
    bool in_runner = false, in_options = false, has_options = false;
    bytes runner, options;
    name_review review;
    size_t refused = 0;
    archive_visitor visitor{
        [&](const std::u16string &name, std::uint64_t size) {
            char size_text[32];
            std::snprintf(size_text, sizeof size_text, "%12" PRIu64 "  ", size);
            out << size_text << display(name);
            if (auto problem = review.problem(name)) {
                out << "  [cannot be unpacked: " << *problem << ']';
                refused++;
            }
            out << '\n';
            in_runner = index == 0 && name == runner_entry_name && size <= largest_kept;
            bool options_file = index == 1 && !runner.empty() && name == entry_options_name();
            has_options = has_options || options_file;
            in_options = options_file && size <= largest_kept;  // a larger one reads as damaged
            index++;
        },
        [&](const unsigned char *p, size_t n) {
            bytes &keep = in_runner ? runner : options;
            if (in_runner || in_options) {
                keep.insert(keep.end(), p, p + n);
            }
        },
        [&] { in_runner = in_options = false; }};
    archive_totals t = read_archive(file, block, visitor);
    if (auto program = runner_program(runner)) {
        out << "runs " << display(*program) << " (started by " << display(runner_entry_name) << ")\n";
        if (has_options) {
            list_entry_options(options, out);
        }
    }
    char ratio[32] = "-";
    if (t.compressed_bytes > 0) {
        std::snprintf(ratio, sizeof ratio, "%.2f", static_cast<double>(t.bytes) / static_cast<double>(t.compressed_bytes));
    }
    out << t.files << " files, " << t.bytes << " bytes, " << t.compressed_bytes << " compressed bytes, ratio " << ratio
        << '\n';
    list_unpack_mode(file, block, out);
    if (refused > 0) {
        out << refused << (refused == 1 ? " name" : " names")
            << " cannot be unpacked: link and extract refuse this payload\n";
    }
}

namespace {

// Compares each payload entry with the file of the same name in APPDIR.
struct comparison {
    explicit comparison(std::ostream &stream) : out(stream) {}

    std::map<std::u16string, archive_entry> on_disk;
    std::map<std::u16string, bool> seen;
    name_review review;
    std::ostream &out;
    size_t differences = 0;
    size_t entries = 0;
    size_t own = 0;  // velsor's own files: the runner first, and the entry file after it

    std::u16string name;
    bool judging = false;  // the current entry has a file to compare with
    bool same = false;     // ...and matches it so far
    std::ifstream file;
    std::vector<char> buffer;

    void report(const std::string &what, const std::u16string &which) {
        out << what << ": " << display(which) << '\n';
        differences++;
    }

    void begin(const std::u16string &entry_name, std::uint64_t size) {
        name = entry_name;
        judging = false;
        file.close();
        // The runner that starts a packed program is velsor's own file, and
        // so is the file of its fixed arguments right after it.
        bool runner = entries == 0 && name == runner_entry_name;
        bool options = entries == 1 && own == 1 && name == entry_options_name();
        entries++;
        if (runner || options) {
            own++;
            return;
        }
        if (seen.count(name) != 0) {
            report("repeated in the payload", name);
            return;
        }
        seen[name] = true;
        if (auto problem = review.problem(name)) {
            report("cannot be unpacked (" + *problem + ")", name);
            return;
        }
        auto it = on_disk.find(name);
        if (it == on_disk.end()) {
            report("only in the payload", name);
            return;
        }
        judging = true;
        same = it->second.size == size;
        if (same) {
            file.clear();
            file.open(it->second.source, std::ios::binary);
            same = static_cast<bool>(file);
        }
    }

    void data(const unsigned char *p, size_t n) {
        if (!judging || !same) {
            return;
        }
        buffer.resize(n);
        file.read(buffer.data(), static_cast<std::streamsize>(n));
        same = static_cast<size_t>(file.gcount()) == n &&
               std::equal(buffer.begin(), buffer.end(), p,
                          [](char a, unsigned char b) { return static_cast<unsigned char>(a) == b; });
    }

    void end() {
        if (judging && !same) {
            report("differs", name);
        }
    }
};

}  // namespace

bool verify_payload(const fs::path &file, const fs::path &app_dir, std::ostream &out) {
    block_location block = locate_block(file);
    comparison cmp(out);
    for (auto &entry : collect_files(app_dir)) {
        cmp.on_disk.emplace(entry.name, entry);
    }
    archive_visitor visitor{[&](const std::u16string &n, std::uint64_t s) { cmp.begin(n, s); },
                            [&](const unsigned char *p, size_t n) { cmp.data(p, n); }, [&] { cmp.end(); }};
    archive_totals totals = read_archive(file, block, visitor);
    for (const auto &[name, entry] : cmp.on_disk) {
        if (cmp.seen.count(name) == 0) {
            cmp.report("only in " + path_utf8(app_dir), name);
        }
    }
    if (cmp.differences == 0) {
        out << path_utf8(file) << " holds exactly the " << totals.files - cmp.own << " files of " << path_utf8(app_dir) << '\n';
        return true;
    }
    out << path_utf8(file) << " differs from " << path_utf8(app_dir) << " in " << cmp.differences
        << (cmp.differences == 1 ? " place" : " places") << '\n';
    return false;
}

void check_block_names(const fs::path &block) {
    std::error_code error;
    std::uint64_t size = fs::file_size(block, error);
    std::optional<std::string> refused;
    name_review review;
    archive_visitor visitor{[&](const std::u16string &name, std::uint64_t) {
                                if (auto problem = review.problem(name)) {
                                    refused = "cannot link '" + display(name) + "': " + *problem;
                                    throw pack_error(*refused);
                                }
                            },
                            [](const unsigned char *, size_t) {}, [] {}};
    try {
        if (!error && size >= payload_header_size + payload_trailer_size) {
            read_archive(block, block_location{0, size}, visitor);
        }
    } catch (const pack_error &) {
        if (refused) {
            throw;
        }
    }
}

}  // namespace velsor
