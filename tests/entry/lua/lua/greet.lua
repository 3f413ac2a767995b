return {hello = function(...) return "hello " .. table.concat({...}, ",") end}
