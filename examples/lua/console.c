/* console: a C module for the packed interpreter, built against lua54.dll
 * and shipped beside it, where package.cpath finds it.
 *
 *   local console = require("console")
 *   console.utf8()      -> true, or nil and the system's message
 *
 * Lua strings are bytes, and this interpreter takes and gives UTF-8, while a
 * Windows console shows bytes in its own code page. console.utf8() switches
 * the console this process writes to over to UTF-8 (65001), so that print
 * shows non-ASCII text as written; the change outlives the script, as with
 * `chcp 65001`.
 */
#include <windows.h>

#include "lauxlib.h"
#include "lua.h"

enum { MESSAGE_CAPACITY = 256 };

static int console_utf8(lua_State *L) {
    if (SetConsoleOutputCP(CP_UTF8) && SetConsoleCP(CP_UTF8)) {
        lua_pushboolean(L, 1);
        return 1;
    }
    DWORD error = GetLastError();
    char message[MESSAGE_CAPACITY];
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error,
                       MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), message, MESSAGE_CAPACITY, NULL) == 0) {
        wsprintfA(message, "system error %lu", error);
    }
    lua_pushnil(L);
    lua_pushstring(L, message);
    return 2;
}

static const luaL_Reg CONSOLE_FUNCTIONS[] = {
    {"utf8", console_utf8},
    {NULL, NULL},
};

__declspec(dllexport) int luaopen_console(lua_State *L) {
    luaL_newlib(L, CONSOLE_FUNCTIONS);
    return 1;
}
