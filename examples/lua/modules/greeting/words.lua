-- greeting.words: the phrases greeting uses.
local words = {salutation = "Hello"}

-- "a", "a and b", "a, b and c".
function words.join(list)
  if #list <= 1 then
    return list[1] or "nobody"
  end
  return table.concat(list, ", ", 1, #list - 1) .. " and " .. list[#list]
end

return words
