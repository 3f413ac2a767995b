// Reading a payload block back: its frame decoded in pieces and its entry
// records walked, for list, verify, extract and link.
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <fstream>
#include <memory>

#include "pack/archive/archive.h"
#include "pack/base/base.h"
#include "payload/format.h"

namespace fs = std::filesystem;

namespace velsor {

namespace {

constexpr std::uint64_t block_minimum = payload_header_size + payload_trailer_size;
constexpr size_t read_chunk = 1 << 17;

std::vector<unsigned char> read_bytes(std::istream &in, std::uint64_t offset, size_t count) {
    std::vector<unsigned char> bytes(count);
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

// The entry-record parser, fed decoded bytes in pieces of any size.
class record_parser {
public:
    explicit record_parser(const archive_visitor &visitor) : visitor_(visitor) {}

    void feed(const unsigned char *p, size_t n) {
        while (n > 0 && state_ != state::done) {
            size_t used = step(p, n);
            p += used;
            n -= used;
        }
    }

    bool done() const { return state_ == state::done; }
    const archive_totals &totals() const { return totals_; }

private:
    enum class state { name, size, data, done };

    size_t step(const unsigned char *p, size_t n) {
        switch (state_) {
        case state::name:
            return take_name(p);
        case state::size:
            return take_size(p);
        case state::data:
            return take_data(p, n);
        case state::done:
            break;
        }
        return n;
    }

    size_t take_name(const unsigned char *p) {
        pending_.push_back(*p);
        if (pending_.size() < 2) {
            return 1;
        }
        char16_t unit = static_cast<char16_t>(pending_[0] | (pending_[1] << 8));
        pending_.clear();
        if (unit != 0) {
            if (name_.size() >= payload_name_max_units) {
                throw pack_error("payload is damaged: an entry name is longer than " +
                                 std::to_string(payload_name_max_units) + " code units");
            }
            name_.push_back(unit);
        } else {
            state_ = name_.empty() ? state::done : state::size;
        }
        return 1;
    }

    size_t take_size(const unsigned char *p) {
        pending_.push_back(*p);
        if (pending_.size() == payload_size_field_size) {
            left_ = load_u64(pending_, 0);
            pending_.clear();
            visitor_.begin(name_, left_);
            totals_.files++;
            totals_.bytes += left_;
            finish_if_empty();
        }
        return 1;
    }

    size_t take_data(const unsigned char *p, size_t n) {
        size_t used = static_cast<size_t>(std::min<std::uint64_t>(n, left_));
        visitor_.data(p, used);
        left_ -= used;
        finish_if_empty();
        return used;
    }

    void finish_if_empty() {
        state_ = state::data;
        if (left_ == 0) {
            visitor_.end();
            name_.clear();
            state_ = state::name;
        }
    }

    const archive_visitor &visitor_;
    state state_ = state::name;
    std::vector<unsigned char> pending_;
    std::u16string name_;
    std::uint64_t left_ = 0;
    archive_totals totals_;
};

struct dctx_deleter {
    void operator()(ZSTD_DCtx *d) const { ZSTD_freeDCtx(d); }
};

// One call of the streaming decoder; its hint (0: a frame has ended), or a
// pack_error saying how the frame is damaged.
size_t decode_step(ZSTD_DCtx *context, ZSTD_outBuffer *dst, ZSTD_inBuffer *src) {
    size_t result = ZSTD_decompressStream(context, dst, src);
    if (ZSTD_getErrorCode(result) == ZSTD_error_checksum_wrong) {
        throw pack_error("payload is damaged: its contents do not match the frame's checksum");
    }
    if (ZSTD_isError(result)) {
        throw pack_error("payload is damaged: " + std::string(ZSTD_getErrorName(result)));
    }
    return result;
}

}  // namespace

bool block_header_at(std::istream &in, std::uint64_t offset) {
    auto header = read_bytes(in, offset, payload_header_size);
    return header.size() == payload_header_size && std::equal(header.begin(), header.end(), payload_header);
}

bool block_trailer_closes(std::istream &in, std::uint64_t offset, std::uint64_t end) {
    if (end < offset + block_minimum) {
        return false;
    }
    auto trailer = read_bytes(in, end - payload_trailer_size, payload_trailer_size);
    return trailer.size() == payload_trailer_size && trailer[0] == 0 &&
           load_u64(trailer, 1) == end - offset - payload_size_field_size;
}

archive_totals read_archive(const fs::path &file, const block_location &block, const archive_visitor &visitor) {
    std::ifstream in(file, std::ios::binary);
    std::unique_ptr<ZSTD_DCtx, dctx_deleter> context(ZSTD_createDCtx());
    if (!in || !context) {
        throw pack_error("cannot read " + path_utf8(file));
    }
    record_parser parser(visitor);
    std::vector<unsigned char> input(read_chunk), output(ZSTD_DStreamOutSize());
    std::uint64_t next = block.offset + payload_header_size;
    const std::uint64_t end = block.offset + block.length - payload_trailer_size;
    // The frame is decoded to its end, past the terminator record: its
    // checksum, when it has one, comes last and is checked only there.
    size_t frame_left = 1;  // the decoder's hint; 0 once a frame has ended
    auto finished = [&] { return parser.done() && frame_left == 0; };
    while (next < end && !finished()) {
        auto chunk = read_bytes(in, next, static_cast<size_t>(std::min<std::uint64_t>(read_chunk, end - next)));
        if (chunk.empty()) {
            throw pack_error("cannot read " + path_utf8(file));
        }
        next += chunk.size();
        ZSTD_inBuffer src{chunk.data(), chunk.size(), 0};
        while (src.pos < src.size && !finished()) {
            ZSTD_outBuffer dst{output.data(), output.size(), 0};
            frame_left = decode_step(context.get(), &dst, &src);
            parser.feed(output.data(), dst.pos);
        }
    }
    // The decoder may still hold output after taking all its input.
    while (frame_left != 0) {
        ZSTD_inBuffer src{nullptr, 0, 0};
        ZSTD_outBuffer dst{output.data(), output.size(), 0};
        frame_left = decode_step(context.get(), &dst, &src);
        if (dst.pos == 0) {
            break;
        }
        parser.feed(output.data(), dst.pos);
    }
    if (!parser.done()) {
        throw pack_error("payload is damaged: the archive ends before its terminator record");
    }
    if (frame_left != 0) {
        throw pack_error("payload is damaged: the zstd frame is cut short after the archive");
    }
    archive_totals totals = parser.totals();
    totals.compressed_bytes = block.length - block_minimum;
    return totals;
}

}  // namespace velsor
