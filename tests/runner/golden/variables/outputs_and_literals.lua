-- A variable given as an output receives the function's value (blank-padded to its capacity,
-- or cut at it); a string given as an output is a constant, so nothing can reach the program.
local typeName, id = char(8), char(40)
local ledger = [[vqsobj:PhysicalTable\A0000001.TABLE003]]
print(metadata_resolve(ledger, typeName, id))
print(string.format("[%s] length %d", typeName.value, typeName.length))
print(string.format("[%s] trimmed [%s]", id.value, id.trimmed))
local literal = "untouched"
print(metadata_resolve(ledger, literal, id), literal)
local short = char(3)
print(metadata_getntyp(1, short), "[" .. short.value .. "]")
