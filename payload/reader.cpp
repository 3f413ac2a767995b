// Payload stream reader over libzstd's streaming decoder.
#include "payload/reader.h"

#include <stdlib.h>
#include <string.h>
#include <zstd.h>

#include "base/fatal.h"
#include "payload/format.h"

static const size_t output_capacity = 131072;  // one full zstd block, ZSTD_DStreamOutSize()

/*-**** Reader state ****/
static ZSTD_inBuffer input;          // the block after its header, read in place
static unsigned char *output;        // decoded bytes not yet delivered: [read_position, fill_level)
static size_t fill_level;
static size_t read_position;
static ZSTD_DCtx *context;
static size_t frame_left;            // the decoder's last hint: 0 once a frame has ended

// Set by payload_open_block as its last step, read by clean-up on the
// console handler's thread; only ever set.
static int extraction_started;

bool payload_extraction_started(void) { return __atomic_load_n(&extraction_started, __ATOMIC_SEQ_CST) != 0; }

void payload_open_block(const unsigned char *block, size_t length) {
    if (length < payload_header_size || memcmp(block, payload_header, payload_header_size) != 0) {
        fatal_header_missing();  // before anything is allocated
    }
    output = (unsigned char *)malloc(output_capacity);
    if (output == NULL) {
        fatal_out_of_memory();
    }
    context = ZSTD_createDCtx();
    if (context == NULL) {
        fatal_out_of_memory();
    }
    input.src = block + payload_header_size;
    input.size = length - payload_header_size;
    input.pos = 0;
    fill_level = 0;
    read_position = 0;
    frame_left = 1;
    __atomic_store_n(&extraction_started, 1, __ATOMIC_SEQ_CST);  // from here on the directory may hold files
}

// Decodes the next piece into the output buffer. Returns whether the call
// filled the buffer, the sign that the decoder may still hold output.
static bool decode_next(void) {
    ZSTD_outBuffer out = {output, output_capacity, 0};
    size_t result = ZSTD_decompressStream(context, &out, &input);
    if (ZSTD_isError(result)) {
        fatal_decode_failed();
    }
    frame_left = result;
    fill_level = out.pos;
    read_position = 0;
    return out.pos == output_capacity;
}

void payload_read(void *destination, size_t n) {
    unsigned char *to = (unsigned char *)destination;
    bool full = false;
    while (n > 0) {
        if (read_position < fill_level) {
            size_t k = fill_level - read_position;
            if (k > n) {
                k = n;
            }
            memcpy(to, output + read_position, k);
            to += k;
            read_position += k;
            n -= k;
        } else if (input.pos < input.size || full) {
            full = decode_next();
        } else {
            // Input used up and nothing held back: the archive ended early.
            fatal_decode_failed();
        }
    }
}

bool payload_frame_intact(void) {
    while (frame_left != 0) {
        ZSTD_outBuffer out = {output, output_capacity, 0};
        size_t before = input.pos;
        size_t result = ZSTD_decompressStream(context, &out, &input);
        if (ZSTD_isError(result)) {
            return false;  // the checksum differs, or the rest is damaged
        }
        if (result != 0 && out.pos == 0 && input.pos == before) {
            return false;  // no forward progress: the frame ends early
        }
        frame_left = result;
    }
    fill_level = 0;
    read_position = 0;
    return true;
}

void payload_close(void) {
    ZSTD_freeDCtx(context);
    context = NULL;
    free(output);
    output = NULL;
}
