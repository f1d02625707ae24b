-- Arguments must match the declared kinds: numbers for numeric inputs, character variables or
-- strings for character arguments.
local out = char(10)
print(select(2, pcall(metadata_getnobj, "vqsobj:Person?@Name='x'", "1", out)))
print(select(2, pcall(metadata_getattr, 42, "Name", out)))
print(select(2, pcall(metadata_getattr, {}, "Name", out)))
print(select(2, pcall(metadata_getntyp, true, out)))
