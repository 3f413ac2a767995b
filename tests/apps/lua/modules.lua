-- Run by apps_lua through lua.exe: loads modules that ship inside the
-- executable and reports what it got and where the modules came from.
--   lua.exe modules.lua NAME... [= NUMBER...]
local greeting = require("greeting")
local List = require("pl.List")

local names, numbers = List(), List()
local target = names
for _, word in ipairs(arg) do
  if word == "=" then
    target = numbers
  else
    target:append(word)
  end
end

print("greeting=" .. greeting.hello(names))
print("sum=" .. (numbers:map(tonumber):reduce("+") or 0))
print("sorted=" .. names:clone():sort():concat(","))
print("greeting_module=" .. package.searchpath("greeting", package.path))
print("penlight_module=" .. package.searchpath("pl.List", package.path))
-- A C module beside lua54.dll, loaded through package.cpath.
local console = require("console")
print("console_module=" .. package.searchpath("console", package.cpath))
print("console_utf8=" .. type(console.utf8))
