#include "pack/link.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <vector>

#include "pack/error.h"
#include "pack/process.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace velsor {

static fs::path own_executable() {
#ifdef _WIN32
    wchar_t buffer[32768];
    DWORD n = GetModuleFileNameW(nullptr, buffer, 32768);
    return fs::path(std::wstring(buffer, n));
#else
    std::error_code error;
    return fs::read_symlink("/proc/self/exe", error);
#endif
}

fs::path find_kit(const std::optional<fs::path> &explicit_dir) {
    fs::path kit;
    if (explicit_dir) {
        kit = *explicit_dir;
    } else if (const char *env = std::getenv("VELSOR_KIT"); env != nullptr && *env != '\0') {
        kit = env;
    } else {
        kit = own_executable().parent_path().parent_path() / "share" / "velsor";
    }
    if (!fs::is_regular_file(kit / "kit.txt")) {
        throw pack_error("launcher kit not found at " + kit.string() + " (build the launcher, or set VELSOR_KIT)");
    }
    return kit;
}

// kit.txt: "key=value" lines, values split on blanks.
static std::map<std::string, std::vector<std::string>> read_kit(const fs::path &kit) {
    std::ifstream in(kit / "kit.txt");
    std::map<std::string, std::vector<std::string>> settings;
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) {
            continue;
        }
        std::istringstream words(line.substr(eq + 1));
        std::vector<std::string> values;
        for (std::string w; words >> w;) {
            values.push_back(w);
        }
        settings[line.substr(0, eq)] = values;
    }
    return settings;
}

// A private scratch directory, removed with everything in it.
class scratch_directory {
public:
    scratch_directory() {
        std::random_device random;
        for (int attempt = 0; attempt < 100; attempt++) {
            fs::path candidate = fs::temp_directory_path() / ("velsor-pack-" + std::to_string(random()));
            std::error_code error;
            if (fs::create_directory(candidate, error)) {
                path_ = candidate;
                return;
            }
        }
        throw pack_error("cannot create a scratch directory in " + fs::temp_directory_path().string());
    }
    ~scratch_directory() {
        std::error_code error;
        fs::remove_all(path_, error);
    }
    scratch_directory(const scratch_directory &) = delete;
    scratch_directory &operator=(const scratch_directory &) = delete;
    const fs::path &path() const { return path_; }

private:
    fs::path path_;
};

// The block's file name as an assembler string: forward slashes, no quotes.
static std::string assembler_path(const fs::path &p) {
    std::string text = p.generic_string();
    if (text.find_first_of("\"\n") != std::string::npos) {
        throw pack_error("unusable path for the block: " + text);
    }
    return text;
}

void link_executable(const fs::path &kit, const fs::path &block, const fs::path &out) {
    auto settings = read_kit(kit);
    if (settings["cxx"].empty()) {
        throw pack_error("launcher kit " + kit.string() + " names no compiler");
    }
    std::error_code error;
    auto length = fs::file_size(block, error);
    if (error) {
        throw pack_error("cannot read block " + block.string() + ": " + error.message());
    }

    scratch_directory scratch;
    fs::path block_copy = scratch.path() / "block.bin";  // a path the assembler can always name
    fs::copy_file(block, block_copy, error);
    if (error) {
        throw pack_error("cannot copy block " + block.string() + ": " + error.message());
    }
    fs::path staged = scratch.path() / "out.exe";

    std::vector<std::string> argv = settings["cxx"];
    for (const auto &flag : settings["cxxflags"]) {
        argv.push_back(flag);
    }
    argv.push_back("-I" + (kit / "include").string());
    argv.push_back("-DVELSOR_PAYLOAD_BLOCK_FILE=\"" + assembler_path(block_copy) + "\"");
    argv.push_back("-DVELSOR_PAYLOAD_BLOCK_LENGTH=" + std::to_string(length) + "ull");
    argv.push_back((kit / "src" / "payload" / "block.cpp").string());
    for (const auto &object : settings["objects"]) {
        argv.push_back((kit / "lib" / object).string());
    }
    argv.push_back("-L" + (kit / "lib").string());
    for (const auto &flag : settings["ldflags"]) {
        argv.push_back(flag);
    }
    argv.push_back("-o");
    argv.push_back(staged.string());

    if (run_program(argv) != 0) {
        throw pack_error("linking the launcher failed (compiler: " + argv[0] + ")");
    }
    fs::copy_file(staged, out, fs::copy_options::overwrite_existing, error);
    if (error) {
        throw pack_error("cannot write " + out.string() + ": " + error.message());
    }
}

}  // namespace velsor
