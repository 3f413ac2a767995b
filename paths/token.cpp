// Random token generator.
#include "paths/token.h"

#include <windows.h>

static const wchar_t token_alphabet[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
static const int token_bytes = 8;

uint32_t xorshift_step(uint32_t x) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
}

// Encodes 8 bytes as 11 base64url characters, most significant bits first,
// the last character carrying two zero fill bits.
static void encode_token(const unsigned char bytes[token_bytes], wchar_t *out) {
    int bits = 0;
    unsigned accumulator = 0;
    int n = 0;
    for (int i = 0; i < token_bytes; i++) {
        accumulator = (accumulator << 8) | bytes[i];
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out[n++] = token_alphabet[(accumulator >> bits) & 0x3F];
        }
    }
    if (bits > 0) {
        out[n++] = token_alphabet[(accumulator << (6 - bits)) & 0x3F];
    }
    out[n] = L'\0';
}

void random_token_from_seed(uint32_t seed, wchar_t token[random_token_capacity]) {
    uint32_t x = seed == 0 ? 1 : seed;  // a zero state would only ever give zeros
    unsigned char bytes[token_bytes];
    for (int i = 0; i < token_bytes; i++) {
        x = xorshift_step(x);
        bytes[i] = (unsigned char)(x & 0xFF);
    }
    encode_token(bytes, token);
}

void make_random_token(wchar_t token[random_token_capacity]) {
    LARGE_INTEGER counter = {};
    QueryPerformanceCounter(&counter);
    uint64_t q = (uint64_t)counter.QuadPart;
    uint64_t address = (uint64_t)(uintptr_t)&counter;
    uint32_t seed = (uint32_t)q ^ (uint32_t)(q >> 32) ^ (uint32_t)GetCurrentProcessId() ^ (uint32_t)address ^
                    (uint32_t)(address >> 32);
    random_token_from_seed(seed, token);
}
