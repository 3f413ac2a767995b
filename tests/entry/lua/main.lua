-- The script of the packed lua.exe: its module comes through LUA_PATH,
-- which the packed executable sets to its unpacked directory.
local greet = require("greet")
print(greet.hello(...))
local found, extra = pcall(require, "extra")
print("extra=" .. (found and extra or "none"))
print("greet=" .. package.searchpath("greet", package.path))
