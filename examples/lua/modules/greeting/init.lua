-- greeting: this example's own module, shipped in lua.exe as lua\greeting\.
-- It loads its sibling greeting.words and Penlight (lua\pl\) the same way a
-- script does, through package.path, which starts in the unpacked directory.
local words = require("greeting.words")
local stringx = require("pl.stringx")

local greeting = {}

-- "Hello, Ada and Grace!" for {"ada", "grace"}.
function greeting.hello(names)
  local capitalised = {}
  for i, name in ipairs(names) do
    capitalised[i] = stringx.capitalize(name)
  end
  return words.salutation .. ", " .. words.join(capitalised) .. "!"
end

return greeting
