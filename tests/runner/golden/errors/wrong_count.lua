-- The host checks the argument count against the descriptor before the package sees the call.
print("before")
local ok, message = pcall(metadata_getattr, "a", "b")
print("caught:", message)
ok, message = pcall(METASEC_NEWACT, "a", "b")
print("caught:", message)
ok, message = pcall(metadata_getprop, "a", "b", "c", "d", "e")
print("caught:", message)
-- Uncaught, the same error ends the program with the line of the call.
metadata_version(1)
print("never printed")
