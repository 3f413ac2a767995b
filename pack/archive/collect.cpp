// Collecting the application directory: every file below it, in the
// archive's order, each name checked for what Windows can hold.
#include <algorithm>

#include "pack/archive/archive.h"
#include "pack/base/base.h"
#include "pack/checks/checks.h"
#include "payload/format.h"

namespace fs = std::filesystem;

namespace velsor {

// The archive name of a path relative to APPDIR, each component checked
// for what Windows can hold.
static std::u16string archive_name(const fs::path &relative) {
    std::u16string name;
    for (const auto &part : relative) {
        auto utf8 = part.u8string();
        auto component = utf8_to_utf16(std::string(utf8.begin(), utf8.end()));
        if (!component) {
            throw pack_error("file name is not valid UTF-8: " + path_utf8(relative));
        }
        if (auto problem = windows_name_problem(*component)) {
            throw pack_error("name Windows cannot hold: '" + path_utf8(relative) + "' (" + *problem + ")");
        }
        if (!name.empty()) {
            name += u'\\';
        }
        name += *component;
    }
    if (name.size() > payload_name_max_units) {
        throw pack_error("name longer than " + std::to_string(payload_name_max_units) +
                         " UTF-16 code units: " + path_utf8(relative));
    }
    return name;
}

static bool is_inside(const fs::path &root, const fs::path &candidate) {
    auto [root_end, unused] = std::mismatch(root.begin(), root.end(), candidate.begin(), candidate.end());
    return root_end == root.end();
}

namespace {

// Walks APPDIR. A symbolic link whose target lies inside APPDIR is packed
// as what it points to (a file as a copy, a directory as a copy of its
// files); a link that points outside APPDIR, dangles, or leads back into a
// directory it stands in is an error.
struct tree_walk {
    fs::path root;                   // canonical APPDIR
    std::vector<fs::path> open_dirs;  // canonical directories being walked
    std::vector<archive_entry> files;

    void directory(const fs::path &dir, const fs::path &relative) {
        std::error_code error;
        fs::directory_iterator it(dir, error), end;
        for (; !error && it != end; it.increment(error)) {
            visit(it->path(), relative / it->path().filename());
        }
        if (error) {
            throw pack_error("cannot read directory " + path_utf8(dir) + ": " + error.message());
        }
    }

    void visit(const fs::path &path, const fs::path &relative) {
        std::u16string name = archive_name(relative);
        std::error_code error;
        fs::path real = fs::canonical(path, error);
        if (error) {
            throw pack_error("symbolic link " + path_utf8(path) + " points to nothing");
        }
        if (fs::is_symlink(fs::symlink_status(path)) && !is_inside(root, real)) {
            throw pack_error("symbolic link " + path_utf8(path) + " points outside the application directory, to " +
                             path_utf8(real));
        }
        auto status = fs::status(real, error);
        if (fs::is_directory(status)) {
            if (std::find(open_dirs.begin(), open_dirs.end(), real) != open_dirs.end()) {
                throw pack_error("symbolic link " + path_utf8(path) + " leads into a loop");
            }
            open_dirs.push_back(real);
            directory(path, relative);
            open_dirs.pop_back();
        } else if (fs::is_regular_file(status)) {
            auto size = fs::file_size(real, error);
            if (error) {
                throw pack_error("cannot read " + path_utf8(path) + ": " + error.message());
            }
            files.push_back(archive_entry{path, std::move(name), size, std::nullopt});
        } else {
            throw pack_error("not a regular file or directory: " + path_utf8(path));
        }
    }
};

}  // namespace

std::vector<archive_entry> collect_files(const fs::path &app_dir) {
    std::error_code error;
    if (!fs::is_directory(app_dir, error)) {
        throw pack_error("application directory not found: " + path_utf8(app_dir));
    }
    tree_walk walk;
    walk.root = fs::canonical(app_dir);
    walk.open_dirs.push_back(walk.root);
    walk.directory(app_dir, fs::path());
    std::sort(walk.files.begin(), walk.files.end(),
              [](const archive_entry &a, const archive_entry &b) { return a.name < b.name; });
    return std::move(walk.files);
}

// The entry as a relative path: either separator, no way out of APPDIR.
static fs::path entry_relative_path(const std::string &entry) {
    std::string slashed = entry;
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    fs::path relative = utf8_path(slashed).lexically_normal();
    if (relative.empty() || relative.is_absolute() || *relative.begin() == ".." || relative == ".") {
        throw pack_error("entry must be a file inside the application directory: " + entry);
    }
    return relative;
}

std::vector<archive_entry> collect_entries(const fs::path &app_dir, const std::string &entry) {
    std::error_code error;
    if (!fs::is_directory(app_dir, error)) {
        throw pack_error("application directory not found: " + path_utf8(app_dir));
    }
    fs::path relative = entry_relative_path(entry);
    fs::path entry_path = app_dir / relative;
    if (!fs::exists(entry_path, error)) {
        throw pack_error("entry not found: " + path_utf8(entry_path));
    }
    if (!fs::is_regular_file(entry_path, error)) {
        throw pack_error("entry is not a regular file: " + path_utf8(entry_path));
    }
    std::u16string entry_name = archive_name(relative);

    std::vector<archive_entry> files = collect_files(app_dir);
    auto first = std::find_if(files.begin(), files.end(), [&](const archive_entry &e) { return e.name == entry_name; });
    if (first == files.end()) {
        throw pack_error("entry not found: " + path_utf8(entry_path));
    }
    std::rotate(files.begin(), first, first + 1);  // the entry first, the rest still sorted
    return files;
}

}  // namespace velsor
