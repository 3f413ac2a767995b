// Mutated payload blocks as real executables under Wine.
//
// mutate_template.exe was linked from mutate_template.bin, a block packed by
// velsor-pack. Each case here writes a copy of the executable with the block
// replaced by a mutated one of the same length, runs it, and checks how it
// ends against what an independent decode of the mutated block predicts:
// a bad header gives the header message, an archive that cannot be read to
// its terminator gives a launcher message and status 2, an intact archive
// runs the application. No run may hang, and nothing may be written outside
// the target directory.
//
// The block carries the frame's content checksum, as velsor-pack writes it
// by default. A mutation that decodes into a damaged application DLL
// without it ends at the frame's end in the launcher's decode message, so
// none is left that runs a damaged DLL.
#include <gtest/gtest.h>
#include <windows.h>
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_d_forceIgnoreChecksum
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "payload/format.h"
#include "tests/support/harness.h"

namespace {

typedef std::vector<unsigned char> bytes;

const int mutation_count = 300;
const DWORD run_timeout_ms = 60000;
const DWORD normal_exit_code = 7;
const size_t decode_buffer_size = 131072;
const size_t name_limit = payload_name_max_units;

bytes load(const std::wstring &path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool save(const std::wstring &path, const bytes &data) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out.write((const char *)data.data(), (std::streamsize)data.size());
    return out.good();
}

// What an archive holds, as far as it can be read.
struct archive_view {
    bool header_ok = false;
    bool complete = false;        // the terminator record was reached
    bool name_too_long = false;   // a name beyond the launcher's name buffer came first
    bool checksum_wrong = false;  // the decoder refused the frame at its checksum
    std::vector<std::u16string> names;
    bytes first_data;  // the application DLL
};

// Decodes the frame(s) of `block` the way the launcher's reader does (keep
// calling while input remains or the last call filled the buffer), without
// using the launcher's code, and walks the entry records it gets. With
// `ignore_checksum`, what a decoder that skips the checksum would get.
archive_view inspect(const bytes &block, bool ignore_checksum = false) {
    archive_view view;
    view.header_ok = block.size() >= payload_header_size &&
                     std::equal(payload_header, payload_header + payload_header_size, block.begin());
    if (!view.header_ok) {
        return view;
    }
    bytes archive;
    ZSTD_DCtx *context = ZSTD_createDCtx();
    if (ignore_checksum) {
        ZSTD_DCtx_setParameter(context, ZSTD_d_forceIgnoreChecksum, ZSTD_d_ignoreChecksum);
    }
    ZSTD_inBuffer input = {block.data() + payload_header_size, block.size() - payload_header_size, 0};
    bytes buffer(decode_buffer_size);
    bool full = false;
    while (input.pos < input.size || full) {
        ZSTD_outBuffer output = {buffer.data(), buffer.size(), 0};
        size_t result = ZSTD_decompressStream(context, &output, &input);
        if (ZSTD_isError(result)) {
            view.checksum_wrong = ZSTD_getErrorCode(result) == ZSTD_error_checksum_wrong;
            break;
        }
        archive.insert(archive.end(), buffer.begin(), buffer.begin() + (long)output.pos);
        full = output.pos == buffer.size();
    }
    ZSTD_freeDCtx(context);

    size_t at = 0;
    auto unit = [&](size_t i) { return (char16_t)(archive[i] | archive[i + 1] << 8); };
    while (at + 2 <= archive.size()) {
        std::u16string name;
        while (at + 2 <= archive.size() && unit(at) != 0) {
            name.push_back(unit(at));
            at += 2;
            if (name.size() > name_limit) {
                view.name_too_long = true;
                return view;
            }
        }
        if (at + 2 > archive.size()) {
            return view;  // the name runs past the decoded data
        }
        at += 2;
        if (name.empty()) {
            view.complete = true;
            return view;
        }
        if (at + 8 > archive.size()) {
            return view;
        }
        uint64_t size = 0;
        for (int i = 7; i >= 0; i--) {
            size = size << 8 | archive[at + i];
        }
        at += 8;
        if (size > archive.size() - at) {
            return view;
        }
        if (view.names.empty()) {
            view.first_data.assign(archive.begin() + (long)at, archive.begin() + (long)(at + size));
        }
        view.names.push_back(name);
        at += size;
    }
    return view;
}

// splitmix64: the mutations are the same on every run.
struct rng {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    size_t below(size_t n) { return n == 0 ? 0 : (size_t)(next() % n); }
};

// One mutation of the block; the length stays, since the executable's
// block length is fixed when it is linked.
std::string mutate(bytes *block, rng *r) {
    size_t length = block->size();
    size_t frame_end = length - payload_trailer_size;
    size_t in_frame = payload_header_size + r->below(frame_end - payload_header_size);
    switch (r->below(9)) {
    case 0:
        (*block)[in_frame] ^= (unsigned char)(1u << r->below(8));
        return "flip a bit in the frame at " + std::to_string(in_frame);
    case 1:
        (*block)[in_frame] = (unsigned char)r->next();
        return "set a frame byte at " + std::to_string(in_frame);
    case 2: {
        size_t n = 1 + r->below(64);
        for (size_t i = in_frame; i < in_frame + n && i < frame_end; i++) {
            (*block)[i] = 0;
        }
        return "zero " + std::to_string(n) + " bytes at " + std::to_string(in_frame);
    }
    case 3: {
        // The frame cut short, the trailer right after it, zeros to the end.
        bytes cut(block->begin(), block->begin() + (long)in_frame);
        cut.push_back(0);
        uint64_t before = cut.size();
        for (int i = 0; i < 8; i++) {
            cut.push_back((unsigned char)(before >> (8 * i)));
        }
        cut.resize(length, 0);
        *block = cut;
        return "cut the frame at " + std::to_string(in_frame);
    }
    case 4: {
        size_t at = payload_header_size + r->below(12);  // the frame header and first block header
        (*block)[at] ^= (unsigned char)(1u << r->below(8));
        return "flip a bit in the frame header at " + std::to_string(at);
    }
    case 5: {
        size_t at = r->below(payload_header_size);
        (*block)[at] ^= (unsigned char)(1 + r->below(255));
        return "change header byte " + std::to_string(at);
    }
    case 6: {
        size_t at = frame_end + r->below(payload_trailer_size);
        (*block)[at] = (unsigned char)r->next();
        return "set trailer byte " + std::to_string(at);
    }
    case 7: {
        int n = 2 + (int)r->below(6);
        for (int i = 0; i < n; i++) {
            (*block)[payload_header_size + r->below(frame_end - payload_header_size)] = (unsigned char)r->next();
        }
        return "set " + std::to_string(n) + " scattered frame bytes";
    }
    default: {
        size_t n = 1 + r->below(256);
        size_t from = payload_header_size + r->below(frame_end - payload_header_size);
        for (size_t i = 0; i < n && in_frame + i < frame_end && from + i < frame_end; i++) {
            (*block)[in_frame + i] = (*block)[from + i];
        }
        return "copy " + std::to_string(n) + " frame bytes from " + std::to_string(from) + " to " +
               std::to_string(in_frame);
    }
    }
}

size_t find_block(const bytes &exe, const bytes &block) {
    auto at = std::search(exe.begin(), exe.end(), block.begin(), block.end());
    return at == exe.end() ? std::string::npos : (size_t)(at - exe.begin());
}


bool starts_with(const std::string &text, const std::string &prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

// The launcher's standard streams are in text mode: line feeds reach a pipe
// as CR LF.
std::string without_cr(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

bool is_abnormal_end(DWORD code) { return code == 0xC0000409 || code == 3; }

// The archive reads to its end, but the application DLL in it is not the
// one that was packed.
bool damaged_application_dll(const archive_view &view, const archive_view &reference) {
    return view.header_ok && view.complete && !view.name_too_long && view.first_data != reference.first_data;
}

// Under Wine a new process now and then dies while Wine is still starting
// it, before any of its own code runs; CreateProcessW then fails with
// ERROR_INTERNAL_ERROR (1359), in this test's start of the program or in the
// launcher's start of its child. Such a run says nothing about the block.
const int start_attempts = 3;

bool process_start_failed(const harness::run_result &run) {
    return (run.exit_code == 0xFFFFFFFF && run.err == "harness: CreateProcessW failed with 1359") ||
           (run.exit_code == 2 && run.err == "Error, couldn't launch child ([Error 1359] Internal error.)\n");
}

TEST(MutatedBlocks, EveryRunEndsWithALauncherMessageOrARunAndNeverWritesOutside) {
    bytes original = load(harness::bin_path(L"mutate_template.bin"));
    bytes exe = load(harness::bin_path(L"mutate_template.exe"));
    ASSERT_GT(original.size(), 100u);
    size_t offset = find_block(exe, original);
    ASSERT_NE(offset, std::string::npos) << "the block is not in the executable";
    archive_view reference = inspect(original);
    ASSERT_TRUE(reference.complete);
    ASSERT_GE(reference.names.size(), 3u);
    ASSERT_EQ(original[payload_header_size + 4], payload_frame_descriptor_checksum)
        << "the block's frame has no content checksum";

    // No error boxes on Windows; the children inherit this. (Wine ignores it
    // for crashes, hence the damaged-DLL cases are not run.)
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    std::wstring scratch = harness::make_scratch_directory(L"mutated_");
    std::wstring temp = scratch + L"\\temp";
    std::wstring report = scratch + L"\\report.txt";
    ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    harness::run_options options;
    options.environment = {{L"TEMP", temp}, {L"TMP", temp}};
    options.timeout_ms = run_timeout_ms;

    int header_refused = 0, launcher_messages = 0, normal_runs = 0, damaged_application = 0, abnormal = 0;
    int checksum_refused = 0;   // a launcher message at the frame's checksum
    int damaged_unchecked = 0;  // a damaged application DLL, to a decoder that skipped the checksum
    int failed_starts = 0;  // runs again after Wine failed to start a process
    rng r{20261208};
    for (int i = 0; i < mutation_count; i++) {
        if (i > 0) {  // the previous program, if Wine has let go of it
            DeleteFileW((scratch + L"\\mutated_" + std::to_wstring(i - 1) + L".exe").c_str());
        }
        bytes block = original;
        std::string what = mutate(&block, &r);
        if (block == original) {
            what += " (no change)";
        }
        std::copy(block.begin(), block.end(), exe.begin() + (long)offset);
        // A file of its own for every mutation: Wine may still hold the
        // previous run's image when the next one is written.
        std::wstring program = scratch + L"\\mutated_" + std::to_wstring(i) + L".exe";
        ASSERT_TRUE(save(program, exe));
        DeleteFileW(report.c_str());

        archive_view view = inspect(block);
        if (damaged_application_dll(inspect(block, true), reference)) {
            damaged_unchecked++;
        }
        if (damaged_application_dll(view, reference)) {
            // The application DLL itself would come out damaged. Running it
            // tests the application, not the launcher, and under Wine a crash
            // in it opens the debugger's crash dialog, which waits for a user.
            damaged_application++;
            ADD_FAILURE() << "mutation " << i << " (" << what << ") decodes into a damaged application DLL";
            continue;
        }

        harness::run_result run;
        for (int attempt = 0; attempt < start_attempts; attempt++) {
            run = harness::run(program, {report, std::to_wstring(normal_exit_code)}, options);
            run.out = without_cr(run.out);
            run.err = without_cr(run.err);
            if (!process_start_failed(run)) {
                break;
            }
            failed_starts++;
            harness::remove_tree(temp);
            CreateDirectoryW(temp.c_str(), nullptr);
        }
        SCOPED_TRACE("mutation " + std::to_string(i) + ": " + what + "; exit " + std::to_string(run.exit_code) +
                     "; stdout [" + run.out + "]; stderr [" + run.err + "]");
        ASSERT_FALSE(run.timed_out) << "the run hung";

        bool message = run.exit_code == 2 && (starts_with(run.out, "Error, ") || starts_with(run.err, "Error, "));
        bool ran = run.exit_code == normal_exit_code && harness::path_exists(report);
        if (!view.header_ok) {
            EXPECT_EQ(run.exit_code, 2u);
            EXPECT_EQ(run.out, "Error, couldn't find attached data header.\n");
            header_refused++;
        } else if (view.name_too_long) {
            EXPECT_TRUE(is_abnormal_end(run.exit_code));
            abnormal++;
        } else if (!view.complete && view.checksum_wrong) {
            // The records read to the frame's end, where the checksum differs.
            EXPECT_EQ(run.exit_code, 2u);
            EXPECT_EQ(run.out, "Error, couldn't decode attached data.\n");
            EXPECT_TRUE(harness::list_files(temp).empty()) << "the partly written directory stayed";
            launcher_messages++;
            checksum_refused++;
        } else if (!view.complete) {
            EXPECT_TRUE(message) << "an unreadable archive must end in a launcher message and status 2";
            launcher_messages++;
        } else if (view.names == reference.names && view.first_data == reference.first_data) {
            EXPECT_TRUE(ran) << "an intact archive must run the application";
            normal_runs++;
        } else {
            EXPECT_TRUE(ran || message);
            (ran ? normal_runs : launcher_messages)++;
        }

        std::vector<std::wstring> files = harness::list_files(scratch);
        for (const std::wstring &f : files) {
            bool program_file = f.rfind(L"mutated_", 0) == 0 && f.find(L'\\') == std::wstring::npos;
            bool allowed = program_file || f == L"report.txt" || f.rfind(L"temp\\onefile_", 0) == 0;
            EXPECT_TRUE(allowed) << "written outside the target directory: " << harness::narrow(f);
        }
        for (const std::wstring &f : files) {
            if (f.rfind(L"temp\\", 0) == 0) {
                harness::remove_tree(temp);
                CreateDirectoryW(temp.c_str(), nullptr);
                break;
            }
        }
        if (HasFatalFailure()) {
            break;
        }
    }
    printf("mutated blocks: %d header refused, %d launcher messages (%d at the checksum), %d normal runs, "
           "%d abnormal ends, %d not run (application DLL damaged), %d runs again after a failed process start; "
           "%d would give a damaged application DLL without the checksum\n",
           header_refused, launcher_messages, checksum_refused, normal_runs, abnormal, damaged_application,
           failed_starts, damaged_unchecked);
    // The mutations must reach every part of the launcher's handling.
    EXPECT_GT(header_refused, 0);
    EXPECT_GT(launcher_messages, 50);
    EXPECT_GT(normal_runs, 0);
    // Mutations do reach the DLL's bytes; the checksum stops each of them
    // (a damaged DLL that decodes fails above).
    EXPECT_GT(damaged_unchecked, 0);
    harness::remove_tree(scratch);
}

}  // namespace
