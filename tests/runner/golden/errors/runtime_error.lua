-- A runtime error in the program: message with the line, exit status 1, output so far kept.
print("first line")
local function fail() error("something went wrong") end
fail()
