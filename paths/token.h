// Random token: 11 base64url characters carrying 64 pseudo-random bits.
#pragma once

#include <stddef.h>
#include <stdint.h>

inline constexpr size_t random_token_length = 11;
inline constexpr size_t random_token_capacity = random_token_length + 1;

inline constexpr size_t random_token_bytes = 8;

// Encodes 8 bytes as 11 base64url characters, most significant bits first,
// the last character carrying two zero fill bits.
void encode_random_token(const unsigned char bytes[random_token_bytes], wchar_t token[random_token_capacity]);

// A token that others must not guess (names in a directory that others may
// write to): 64 bits from the system's generator. Fatal when it fails.
// In paths/secret.cpp, so that only the executables that use it import it;
// ADVAPI32, which holds the generator, is delay-loaded on the first draw.
void make_secret_token(wchar_t token[random_token_capacity]);

// True for the 64 characters a token is made of (base64url).
bool is_token_character(wchar_t c);

// Fills `token` with a fresh token seeded from the performance counter, the
// process ID and a stack address.
void make_random_token(wchar_t token[random_token_capacity]);

// One step of the 32-bit xorshift generator with the shift triple 13, 17, 5.
uint32_t xorshift_step(uint32_t state);

// The deterministic part: eight xorshift (13, 17, 5) steps from `seed`
// (0 counts as 1), low byte of each, encoded without padding.
void random_token_from_seed(uint32_t seed, wchar_t token[random_token_capacity]);
