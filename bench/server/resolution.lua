-- Resolutions by name, timed: `count` different names (each resolved once, so the packages'
-- cache cannot answer), then one name `count` times (every call after the first a cache hit).
-- Prints "uncached US" and "cached US", microseconds per call. arg[1]: count, arg[2]: tables.
local count, tables = tonumber(arg[1]) or 1000, tonumber(arg[2]) or 100000
local type, id = char(20), char(20)
local step = math.max(1, tables // count)
local start = now()
for i = 1, count do
  local name = string.format("T%07d", ((i * step) % tables) + 1)
  assert(metadata_resolve("vqsobj:PhysicalTable?@Name='" .. name .. "'", type, id) == 1, name)
end
print(string.format("uncached %.1f", (now() - start) / count * 1e6))
metadata_resolve("vqsobj:PhysicalTable?@Name='T0000001'", type, id)  -- fills the cache
start = now()
for i = 1, count do
  metadata_resolve("vqsobj:PhysicalTable?@Name='T0000001'", type, id)
end
print(string.format("cached %.3f", (now() - start) / count * 1e6))
