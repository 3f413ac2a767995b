// Random token generator.
#include "paths/token.h"

#include <windows.h>

static const wchar_t token_alphabet[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

bool is_token_character(wchar_t c) {
    for (const wchar_t *p = token_alphabet; *p != L'\0'; p++) {
        if (*p == c) {
            return true;
        }
    }
    return false;
}

uint32_t xorshift_step(uint32_t x) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
}

void encode_random_token(const unsigned char bytes[random_token_bytes], wchar_t token[random_token_capacity]) {
    wchar_t *out = token;
    int bits = 0;
    unsigned accumulator = 0;
    int n = 0;
    for (size_t i = 0; i < random_token_bytes; i++) {
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
    unsigned char bytes[random_token_bytes];
    for (size_t i = 0; i < random_token_bytes; i++) {
        x = xorshift_step(x);
        bytes[i] = (unsigned char)(x & 0xFF);
    }
    encode_random_token(bytes, token);
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
