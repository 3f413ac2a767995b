#include "support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <random>
#include <sstream>

extern char **environ;

namespace packtest {

scratch::scratch() {
    static std::atomic<int> counter{0};
    const auto *info = testing::UnitTest::GetInstance()->current_test_info();
    std::string label = info ? std::string(info->test_suite_name()) + "." + info->name() : "scratch";
    path_ = fs::path(VELSOR_TEST_SCRATCH) /
            (label + "." + std::to_string(getpid()) + "." + std::to_string(counter++));
    fs::remove_all(path_);
    fs::create_directories(path_);
}

scratch::~scratch() {
    std::error_code error;
    fs::remove_all(path_, error);
}

void write_file(const fs::path &file, const std::string &bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << file;
}

std::string read_file(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::string sample_bytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i++) {
        // Mostly a small alphabet with runs, so zstd finds some matches.
        bytes[i] = static_cast<char>(random() % 4 == 0 ? random() % 256 : 'a' + random() % 8);
    }
    return bytes;
}

void copy_pe(const std::string &name, const fs::path &dest) {
    fs::create_directories(dest.parent_path());
    fs::copy_file(fs::path(VELSOR_TEST_PE_DIR) / name, dest, fs::copy_options::overwrite_existing);
}

result run(const std::vector<std::string> &argv) {
    scratch capture;
    fs::path out_file = capture / "stdout", err_file = capture / "stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char *> args;
    for (const auto &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = 0;
    int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    result r;
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << argv[0];
        return r;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = read_file(out_file);
    r.err = read_file(err_file);
    return r;
}

result pack(const std::vector<std::string> &args) {
    std::vector<std::string> argv{VELSOR_PACK_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv);
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

void expect_refused(const result &r, const fs::path &out, const std::string &earlier, const std::string &fragment) {
    EXPECT_EQ(r.status, 1) << r.err;
    auto err = lines(r.err);
    ASSERT_EQ(err.size(), 1u) << r.err;
    EXPECT_EQ(err[0].rfind("velsor-pack: error: ", 0), 0u) << err[0];
    EXPECT_NE(err[0].find(fragment), std::string::npos) << "expected '" << fragment << "' in: " << err[0];
    EXPECT_EQ(read_file(out), earlier);
    for (const auto &f : fs::directory_iterator(out.parent_path())) {
        EXPECT_EQ(f.path().string().find("partial"), std::string::npos) << "left behind: " << f.path();
    }
}

std::uint64_t u64_le(const std::string &bytes, size_t at) {
    std::uint64_t value = 0;
    for (size_t i = 0; i < 8; i++) {
        value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes.at(at + i))) << (8 * i);
    }
    return value;
}

std::vector<record> parse_archive(const std::string &a) {
    std::vector<record> records;
    size_t at = 0;
    auto unit = [&](size_t i) {
        return static_cast<char16_t>(static_cast<unsigned char>(a[i]) | (static_cast<unsigned char>(a[i + 1]) << 8));
    };
    while (true) {
        record r;
        while (at + 2 <= a.size() && unit(at) != 0) {
            r.name.push_back(unit(at));
            at += 2;
        }
        if (at + 2 > a.size()) {
            ADD_FAILURE() << "archive ends inside a name at byte " << at;
            return records;
        }
        at += 2;
        if (r.name.empty()) {
            EXPECT_EQ(at, a.size()) << "bytes after the terminator record";
            return records;
        }
        if (at + 8 > a.size()) {
            ADD_FAILURE() << "archive ends inside a size field";
            return records;
        }
        std::uint64_t size = u64_le(a, at);
        at += 8;
        if (size > a.size() - at) {
            ADD_FAILURE() << "archive ends inside data";
            return records;
        }
        r.data = a.substr(at, size);
        at += size;
        records.push_back(std::move(r));
    }
}

std::string decode_block_with_zstd_cli(const fs::path &block, const fs::path &work) {
    std::string bytes = read_file(block);
    EXPECT_GE(bytes.size(), 12u);
    fs::path frame = work / "frame.zst", decoded = work / "archive.bin";
    write_file(frame, bytes.substr(3, bytes.size() - 12));
    result r = run({"zstd", "-q", "-d", "-f", frame.string(), "-o", decoded.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    return read_file(decoded);
}

fs::path block_by_hand(const std::vector<record> &records, const fs::path &block) {
    std::string archive;
    auto put_u16 = [&](char16_t unit) {
        archive.push_back(static_cast<char>(unit & 0xFF));
        archive.push_back(static_cast<char>(unit >> 8));
    };
    for (const auto &r : records) {
        for (char16_t unit : r.name) {
            put_u16(unit);
        }
        put_u16(0);
        for (int i = 0; i < 8; i++) {
            archive.push_back(static_cast<char>(static_cast<std::uint64_t>(r.data.size()) >> (8 * i)));
        }
        archive += r.data;
    }
    put_u16(0);
    fs::path plain = block.string() + ".archive", frame = block.string() + ".zst";
    write_file(plain, archive);
    result z = run({"zstd", "-q", "-3", "-f", plain.string(), "-o", frame.string()});
    EXPECT_EQ(z.status, 0) << z.err;
    std::string bytes = "QZV" + read_file(frame) + '\0';
    std::uint64_t before_length = bytes.size();
    for (int i = 0; i < 8; i++) {
        bytes.push_back(static_cast<char>(before_length >> (8 * i)));
    }
    write_file(block, bytes);
    return block;
}

fs::path make_app(const scratch &s) {
    fs::path app = s / "app";
    copy_pe("runner.dll", app / "app.dll");
    write_file(app / "readme.txt", "hello\n");
    return app;
}

}  // namespace packtest
