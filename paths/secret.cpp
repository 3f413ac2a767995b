// Tokens that others must not guess, from the system's generator.
#include <windows.h>
#include <ntsecapi.h>

#include "base/fatal.h"
#include "paths/token.h"

void make_secret_token(wchar_t token[random_token_capacity]) {
    unsigned char bytes[random_token_bytes];
    if (!RtlGenRandom(bytes, sizeof bytes)) {
        DWORD code = GetLastError();
        fatal_error_with_code("Error, couldn't draw random bytes.", code);
    }
    encode_random_token(bytes, token);
}
