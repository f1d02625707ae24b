-- A loop of cached resolutions, for counting the instructions one call costs:
--
--   valgrind --tool=callgrind build/bin/mdhost bench/runner/cached_resolutions.lua 20000
--   valgrind --tool=callgrind build/bin/mdhost bench/runner/cached_resolutions.lua 40000
--
-- The difference of the two totals over 20,000 is the cost of one call (start-up cancels out).
local n = tonumber(arg[1]) or 10000
local id, type = char(60), char(20)
local uri = [[vqsobj:Person?@Name='Ada Field']]
assert(metadata_resolve(uri, type, id) == 1, "expected one match")
for i = 1, n do
  metadata_resolve(uri, type, id)
end
print(n, type.trimmed, id.trimmed, symget("SYSRC"))
