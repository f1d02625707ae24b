-- A syntax error names the script and the line, and the exit status is non-zero.
print("never printed")
local x = = 3
