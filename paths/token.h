// Random token: 11 base64url characters carrying 64 pseudo-random bits.
#pragma once

#include <stddef.h>
#include <stdint.h>

inline constexpr size_t random_token_capacity = 12;  // 11 characters + terminator

// Fills `token` with a fresh token seeded from the performance counter, the
// process ID and a stack address.
void make_random_token(wchar_t token[random_token_capacity]);

// One step of the 32-bit xorshift generator with the shift triple 13, 17, 5.
uint32_t xorshift_step(uint32_t state);

// The deterministic part: eight xorshift (13, 17, 5) steps from `seed`
// (0 counts as 1), low byte of each, encoded without padding.
void random_token_from_seed(uint32_t seed, wchar_t token[random_token_capacity]);
