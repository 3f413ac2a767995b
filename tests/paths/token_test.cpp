// The random token: the xorshift generator, the base64url encoding checked
// against Python's base64 module, and the shape of fresh tokens.
#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <string>

#include "paths/token.h"

namespace {

struct reference_token {
    uint32_t seed;
    uint32_t states[8];
    const wchar_t *token;
};

const reference_token reference_tokens[] = {
#include "token_table.inc"
};

const std::wstring alphabet = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::wstring token_from_seed(uint32_t seed) {
    wchar_t token[random_token_capacity];
    wmemset(token, L'#', random_token_capacity);
    random_token_from_seed(seed, token);
    return std::wstring(token, wcsnlen(token, random_token_capacity));
}

TEST(Token, SeedOneGivesTheKnownStatesAndToken) {
    const uint32_t expected[8] = {0x00042021, 0x04080601, 0x9DCCA8C5, 0x1255994F,
                                  0x8EF917D1, 0x2C6F5BD0, 0x25B2331A, 0x19F91CB2};
    uint32_t x = 1;
    for (uint32_t value : expected) {
        x = xorshift_step(x);
        EXPECT_EQ(x, value);
    }
    EXPECT_EQ(token_from_seed(1), L"IQHFT9HQGrI");
}

TEST(Token, SeedZeroBehavesLikeSeedOne) {
    EXPECT_EQ(token_from_seed(0), L"IQHFT9HQGrI");
}

TEST(Token, MatchesPythonForManySeeds) {
    ASSERT_GT(sizeof reference_tokens / sizeof reference_tokens[0], 400u);
    for (const reference_token &r : reference_tokens) {
        uint32_t x = r.seed;
        for (uint32_t state : r.states) {
            x = xorshift_step(x);
            ASSERT_EQ(x, state) << "seed " << r.seed;
        }
        ASSERT_EQ(token_from_seed(r.seed), r.token) << "seed " << r.seed;
    }
}

TEST(Token, FreshTokensHaveTheTokenShapeAndVary) {
    std::set<std::wstring> seen;
    for (int i = 0; i < 50; i++) {
        wchar_t token[random_token_capacity];
        wmemset(token, L'#', random_token_capacity);
        make_random_token(token);
        std::wstring text(token, wcsnlen(token, random_token_capacity));
        ASSERT_EQ(text.size(), 11u);
        for (wchar_t c : text) {
            ASSERT_NE(alphabet.find(c), std::wstring::npos) << (unsigned)c;
        }
        // The last character carries two zero fill bits.
        EXPECT_EQ(alphabet.find(text.back()) % 4, 0u) << (unsigned)text.back();
        seen.insert(text);
        Sleep(1);
    }
    EXPECT_GT(seen.size(), 40u);
}

}  // namespace
