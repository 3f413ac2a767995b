// Unpacking a payload into a directory: names checked first, then written,
// and nothing left behind when writing fails.
#include <fstream>
#include <ostream>
#include <vector>

#include "pack/base/base.h"
#include "pack/checks/checks.h"
#include "pack/cli/cli.h"
#include "pack/image/image.h"

namespace fs = std::filesystem;

namespace velsor {

namespace {

// The name's parts, as a path below `dir`.
fs::path target_of(const fs::path &dir, std::u16string_view name) {
    fs::path target = dir;
    size_t start = 0;
    for (size_t i = 0; i <= name.size(); i++) {
        if (i == name.size() || name[i] == u'\\' || name[i] == u'/') {
            target /= utf8_path(utf16_to_utf8(name.substr(start, i - start)));
            start = i + 1;
        }
    }
    return target;
}

void check_target_directory(const fs::path &dir) {
    std::error_code error;
    fs::file_status status = fs::status(dir, error);
    if (!fs::exists(status)) {
        return;
    }
    if (!fs::is_directory(status)) {
        throw pack_error(path_utf8(dir) + " exists and is not a directory");
    }
    if (!fs::is_empty(dir, error) || error) {
        throw pack_error(path_utf8(dir) + " is not empty: extract writes only into an empty or new directory");
    }
}

// The payload's entries, every name checked, read without writing anything.
std::vector<archive_entry> checked_entries(const fs::path &file, const block_location &block) {
    std::vector<archive_entry> entries;
    archive_visitor visitor{[&](const std::u16string &name, std::uint64_t size) {
                                if (auto problem = unpack_name_problem(name)) {
                                    throw pack_error("cannot extract '" + utf16_to_utf8(name) + "': " + *problem);
                                }
                                archive_entry entry;
                                entry.name = name;
                                entry.size = size;
                                entries.push_back(entry);
                            },
                            [](const unsigned char *, size_t) {}, [] {}};
    read_archive(file, block, visitor);
    check_case_collisions(entries);
    return entries;
}

// Removes what was written below the directory unless dismissed: all of it
// (the directory was empty), and the directory too when it was made here.
class written_tree {
public:
    explicit written_tree(fs::path dir) : dir_(std::move(dir)) {
        made_ = !fs::exists(dir_);
        std::error_code error;
        fs::create_directories(dir_, error);
        if (error) {
            throw pack_error("cannot create " + path_utf8(dir_) + ": " + error.message());
        }
    }
    ~written_tree() {
        if (kept_) {
            return;
        }
        std::error_code error;
        if (made_) {
            fs::remove_all(dir_, error);
            return;
        }
        std::vector<fs::path> children;
        for (auto it = fs::directory_iterator(dir_, error); !error && it != fs::directory_iterator(); it.increment(error)) {
            children.push_back(it->path());
        }
        for (const auto &child : children) {
            fs::remove_all(child, error);
        }
    }
    written_tree(const written_tree &) = delete;
    written_tree &operator=(const written_tree &) = delete;
    void keep() { kept_ = true; }

private:
    fs::path dir_;
    bool made_ = false;
    bool kept_ = false;
};

// Writes each entry as the archive is decoded a second time.
struct writer {
    const fs::path &dir;
    const std::vector<archive_entry> &expected;
    size_t index = 0;
    fs::path target;
    std::ofstream out;

    void begin(const std::u16string &name, std::uint64_t size) {
        if (index >= expected.size() || expected[index].name != name || expected[index].size != size) {
            throw pack_error("the payload changed while it was being extracted");
        }
        index++;
        target = target_of(dir, name);
        std::error_code error;
        fs::create_directories(target.parent_path(), error);
        out.open(target, std::ios::binary | std::ios::trunc);
        if (error || !out) {
            throw pack_error("cannot write " + path_utf8(target));
        }
    }

    void data(const unsigned char *p, size_t n) {
        if (!out.write(reinterpret_cast<const char *>(p), static_cast<std::streamsize>(n))) {
            throw pack_error("cannot write " + path_utf8(target));
        }
    }

    void end() {
        out.close();
        if (!out) {
            throw pack_error("cannot write " + path_utf8(target));
        }
    }
};

}  // namespace

void extract_payload(const fs::path &file, const fs::path &dir, std::ostream &out) {
    check_target_directory(dir);
    block_location block = locate_block(file);
    std::vector<archive_entry> entries = checked_entries(file, block);
    written_tree tree(dir);
    writer w{dir, entries, 0, {}, {}};
    archive_visitor visitor{[&](const std::u16string &n, std::uint64_t s) { w.begin(n, s); },
                            [&](const unsigned char *p, size_t n) { w.data(p, n); }, [&] { w.end(); }};
    archive_totals totals = read_archive(file, block, visitor);
    tree.keep();
    out << totals.files << " files, " << totals.bytes << " bytes written to " << path_utf8(dir) << '\n';
}

}  // namespace velsor
