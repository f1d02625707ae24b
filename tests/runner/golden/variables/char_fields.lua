-- Character variables: fixed capacity, blank padding, cutting, current length.
local v = char(8, "ABC")
print(string.format("[%s] trimmed=[%s] length=%d capacity=%d", v.value, v.trimmed, v.length,
                    v.capacity))
v.value = "a much longer text"
print("cut:", "[" .. v .. "]", #v)
v.length = 3
print("shorter current length:", "[" .. v.value .. "]", v.length, v.capacity)
local empty = char(0)
print("zero capacity:", "[" .. empty.value .. "]", empty.length)
print("blank-filled:", "[" .. char(4).value .. "]", "[" .. char(4).trimmed .. "]")
print("equal values compare equal:", char(3, "x") == char(3, "x"), char(3, "x") == char(3, "y"))
print("tostring:", tostring(char(5, "hello, world")))
for _, attempt in ipairs {
  function() return char(-1) end,
  function() return char(32768) end,
  function() return char("eight") end,
  function() local x = char(2); x.length = 3 end,
  function() local x = char(2); x.colour = "red" end,
  function() return char(2).nope end,
  function() return char(2) .. {} end,
} do
  print(select(2, pcall(attempt)))
end
