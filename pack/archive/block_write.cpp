// Writing the entry records, and the payload block around them with
// libzstd's streaming compressor.
#include <zstd.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <memory>
#include <thread>

#include "pack/archive/archive.h"
#include "pack/base/base.h"
#include "payload/format.h"

namespace velsor {

namespace {

struct cctx_deleter {
    void operator()(ZSTD_CCtx *c) const { ZSTD_freeCCtx(c); }
};
using cctx_ptr = std::unique_ptr<ZSTD_CCtx, cctx_deleter>;

void check(size_t result, const char *what) {
    if (ZSTD_isError(result)) {
        throw pack_error(std::string("compression failed (") + what + "): " + ZSTD_getErrorName(result));
    }
}

constexpr int job_size = 8 << 20;

int worker_count(int requested) {
    if (requested > 0) {
        return requested;
    }
    // At least one worker: zstd's output is the same for any worker count
    // of one or more, but differs without workers.
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

cctx_ptr make_context(const block_options &options) {
    cctx_ptr context(ZSTD_createCCtx());
    if (!context) {
        throw pack_error("out of memory creating the compressor");
    }
    ZSTD_CCtx *c = context.get();
    check(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, options.level), "level");
    check(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, payload_window_log), "window");
    check(ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 0), "content size flag");
    check(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, options.checksum ? 1 : 0), "checksum flag");
    check(ZSTD_CCtx_setParameter(c, ZSTD_c_dictIDFlag, 0), "dictionary flag");
    check(ZSTD_CCtx_setParameter(c, ZSTD_c_nbWorkers, worker_count(options.threads)), "threads");
    // zstd's own job size for a 2^27 window is hundreds of MiB, so a typical
    // application would be one job on one thread; 8 MiB jobs keep every
    // worker busy at a cost of a few hundredths of a percent in size.
    check(ZSTD_CCtx_setParameter(c, ZSTD_c_jobSize, job_size), "job size");
    return context;
}

// Feeds the compressor and writes what it produces. The first call never
// ends the frame, so the compressor never learns the total size and keeps
// the full window in the frame header.
class frame_writer {
public:
    frame_writer(ZSTD_CCtx *context, std::ostream &out) : context_(context), out_(out), buffer_(ZSTD_CStreamOutSize()) {}

    void write(const void *data, size_t size) {
        ZSTD_inBuffer in{data, size, 0};
        while (in.pos < in.size) {
            ZSTD_outBuffer out{buffer_.data(), buffer_.size(), 0};
            check(ZSTD_compressStream2(context_, &out, &in, ZSTD_e_continue), "stream");
            emit(out.pos);
        }
    }

    void finish() {
        ZSTD_inBuffer in{nullptr, 0, 0};
        size_t left = 0;
        do {
            ZSTD_outBuffer out{buffer_.data(), buffer_.size(), 0};
            left = ZSTD_compressStream2(context_, &out, &in, ZSTD_e_end);
            check(left, "end");
            emit(out.pos);
        } while (left != 0);
    }

    std::uint64_t bytes_written() const { return written_; }

private:
    void emit(size_t n) {
        out_.write(buffer_.data(), static_cast<std::streamsize>(n));
        written_ += n;
    }

    ZSTD_CCtx *context_;
    std::ostream &out_;
    std::vector<char> buffer_;
    std::uint64_t written_ = 0;
};

}  // namespace

static void write_u16(const byte_sink &sink, const std::u16string &text) {
    std::string bytes;
    bytes.reserve(2 * (text.size() + 1));
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    bytes.append(2, '\0');
    sink(bytes.data(), bytes.size());
}

static void write_u64(const byte_sink &sink, std::uint64_t value) {
    std::array<unsigned char, payload_size_field_size> bytes{};
    for (size_t i = 0; i < bytes.size(); i++) {
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    }
    sink(bytes.data(), bytes.size());
}

static void write_file_data(const archive_entry &entry, const byte_sink &sink) {
    if (entry.contents) {
        sink(entry.contents->data(), entry.contents->size());
        return;
    }
    std::ifstream in(entry.source, std::ios::binary);
    if (!in) {
        throw pack_error("cannot read " + path_utf8(entry.source));
    }
    static constexpr size_t chunk = 1 << 20;
    std::vector<char> buffer(chunk);
    std::uint64_t left = entry.size;
    while (left > 0) {
        size_t want = static_cast<size_t>(std::min<std::uint64_t>(left, chunk));
        in.read(buffer.data(), static_cast<std::streamsize>(want));
        if (static_cast<size_t>(in.gcount()) != want) {
            throw pack_error("file changed size while being packed: " + path_utf8(entry.source));
        }
        sink(buffer.data(), want);
        left -= want;
    }
    if (in.peek() != std::char_traits<char>::eof()) {
        throw pack_error("file changed size while being packed: " + path_utf8(entry.source));
    }
}

void write_archive(const std::vector<archive_entry> &entries, const byte_sink &sink,
                   const progress_callback &progress) {
    std::uint64_t bytes_done = 0;
    size_t files_done = 0;
    for (const auto &entry : entries) {
        write_u16(sink, entry.name);
        write_u64(sink, entry.size);
        write_file_data(entry, sink);
        bytes_done += entry.size;
        if (progress) {
            progress(++files_done, bytes_done);
        }
    }
    write_u16(sink, u"");  // the terminator record: an empty name
}

block_stats write_block(const std::vector<archive_entry> &entries, std::ostream &out, const block_options &options,
                        const progress_callback &progress) {
    cctx_ptr context = make_context(options);
    frame_writer frame(context.get(), out);
    block_stats stats;

    out.write(reinterpret_cast<const char *>(payload_header), payload_header_size);
    write_archive(
        entries,
        [&](const void *data, size_t size) {
            stats.archive_bytes += size;
            frame.write(data, size);
        },
        progress);
    frame.finish();

    // Trailer: 0x00, then the count of bytes before the length field.
    std::uint64_t before_length = payload_header_size + frame.bytes_written() + 1;
    std::array<char, payload_trailer_size> trailer{};
    for (size_t i = 0; i < 8; i++) {
        trailer[1 + i] = static_cast<char>(before_length >> (8 * i));
    }
    out.write(trailer.data(), trailer.size());
    stats.block_bytes = before_length + 8;
    return stats;
}

block_stats write_block(const std::vector<archive_entry> &entries, const std::filesystem::path &out_path,
                        const block_options &options, const progress_callback &progress) {
    std::ofstream out(out_path, std::ios::binary | std::ios::trunc);
    if (!out) {
        throw pack_error("cannot write " + path_utf8(out_path));
    }
    block_stats stats = write_block(entries, out, options, progress);
    out.close();
    if (!out) {
        throw pack_error("cannot write " + path_utf8(out_path));
    }
    return stats;
}

}  // namespace velsor
