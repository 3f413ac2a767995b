// Host build of the launcher's payload reader, timed: decodes a block with
// the entry walk's read pattern (2-byte name units, 8-byte sizes, 32 KiB data
// chunks) and throws the data away.
//   decode_bench BLOCK [REPEAT]
// Prints the decompressed size and, per pass, the seconds it took.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <vector>

#include "payload/reader.h"
#include "base/fatal.h"

static const size_t chunk_size = 32768;

void fatal_header_missing(void) { fprintf(stderr, "bad header\n"), exit(2); }
void fatal_out_of_memory(void) { fprintf(stderr, "out of memory\n"), exit(2); }
void fatal_decode_failed(void) { fprintf(stderr, "decode failed\n"), exit(2); }

static uint64_t walk(void) {
    static unsigned char chunk[chunk_size];
    uint64_t total = 0;
    for (;;) {
        uint16_t unit = 0;
        payload_read(&unit, 2);
        total += 2;
        if (unit == 0) {
            return total;
        }
        while (unit != 0) {
            payload_read(&unit, 2);
            total += 2;
        }
        unsigned char field[8];
        payload_read(field, 8);
        uint64_t size = 0;
        for (int i = 7; i >= 0; i--) {
            size = size << 8 | field[i];
        }
        total += 8 + size;
        while (size > 0) {
            size_t piece = size < chunk_size ? (size_t)size : chunk_size;
            payload_read(chunk, piece);
            size -= piece;
        }
    }
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: decode_bench BLOCK [REPEAT]\n");
        return 2;
    }
    FILE *f = fopen(argv[1], "rb");
    if (f == NULL) {
        return 2;
    }
    std::vector<unsigned char> block;
    unsigned char buffer[1 << 16];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) {
        block.insert(block.end(), buffer, buffer + n);
    }
    fclose(f);
    int repeat = argc > 2 ? atoi(argv[2]) : 1;
    for (int i = 0; i < repeat; i++) {
        auto start = std::chrono::steady_clock::now();
        payload_open_block(block.data(), block.size());
        uint64_t total = walk();
        payload_close();
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        printf("%llu %.6f\n", (unsigned long long)total, took.count());
    }
    return 0;
}
