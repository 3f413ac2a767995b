// Shared by the packer's host tests: scratch directories, files, running
// velsor-pack and other programs with their output captured, and a parser
// of the archive format written independently of the packer's own code.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace packtest {

namespace fs = std::filesystem;

// A fresh directory below the build tree, removed afterwards.
class scratch {
public:
    scratch();
    ~scratch();
    scratch(const scratch &) = delete;
    scratch &operator=(const scratch &) = delete;
    const fs::path &path() const { return path_; }
    fs::path operator/(const fs::path &p) const { return path_ / p; }

private:
    fs::path path_;
};

void write_file(const fs::path &file, const std::string &bytes);
std::string read_file(const fs::path &file);

// Deterministic bytes that compress neither too well nor not at all.
std::string sample_bytes(size_t size, unsigned seed);

// A copy of a test PE file ("runner.dll", "other_export.dll",
// "program.exe") at `dest`.
void copy_pe(const std::string &name, const fs::path &dest);

// A packable directory s/app: the entry app.dll and readme.txt.
fs::path make_app(const scratch &s);

struct result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `argv` (argv[0] searched on PATH), stdin from /dev/null.
result run(const std::vector<std::string> &argv);
// Runs velsor-pack with these arguments.
result pack(const std::vector<std::string> &args);

std::vector<std::string> lines(const std::string &text);

// The run was refused: status 1, one "velsor-pack: error: " line holding
// `fragment`, `out` still holding `earlier`, and no partial file left beside it.
void expect_refused(const result &r, const fs::path &out, const std::string &earlier, const std::string &fragment);

struct record {
    std::u16string name;
    std::string data;
};

// The records of a decoded archive. Fails the current test (and returns what
// it has) if the archive does not end with exactly one terminator record.
std::vector<record> parse_archive(const std::string &archive);

std::uint64_t u64_le(const std::string &bytes, size_t at);

// A block file written the way anyone could, without velsor-pack: the
// records by hand, compressed by the zstd program, between "QZV" and the
// trailer. Returns `block`.
fs::path block_by_hand(const std::vector<record> &records, const fs::path &block);

// The decoded archive of a block file, decoded by the zstd program.
std::string decode_block_with_zstd_cli(const fs::path &block, const fs::path &work);

}  // namespace packtest
