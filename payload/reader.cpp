// Payload stream reader over libzstd's streaming decoder.
#include "payload/reader.h"

#include <stdlib.h>
#include <string.h>
#include <zstd.h>

#include "payload/format.h"
#include "payload/host.h"

static const size_t output_capacity = 131072;  // one full zstd block, ZSTD_DStreamOutSize()

/*-**** Reader state ****/
static ZSTD_inBuffer input;          // the block after its header, read in place
static unsigned char *output;        // decoded bytes not yet delivered: [read_position, fill_level)
static size_t fill_level;
static size_t read_position;
static ZSTD_DCtx *context;

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
    mark_extraction_started();
}

// Decodes the next piece into the output buffer. Returns whether the call
// filled the buffer, the sign that the decoder may still hold output.
static bool decode_next(void) {
    ZSTD_outBuffer out = {output, output_capacity, 0};
    size_t result = ZSTD_decompressStream(context, &out, &input);
    if (ZSTD_isError(result)) {
        fatal_decode_failed();
    }
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

void payload_close(void) {
    ZSTD_freeDCtx(context);
    context = NULL;
    free(output);
    output = NULL;
}
