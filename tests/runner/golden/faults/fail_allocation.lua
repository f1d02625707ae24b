--! args: --fail-allocation 6
--! before: --fail-allocation 0 fail_allocation.lua
--! before: --fail-allocation=-1 fail_allocation.lua
-- One allocation request of the run fails (here the sixth, counted over the host's allocators
-- and the interface pools): the function meets it with a defined value and status, nothing is
-- left in the pool, and the next call works again.
local type, id = char(20), char(20)
for i = 1, 3 do
  local n = metadata_resolve([[vqsobj:Person?@Name='Ada Field']], type, id)
  local blocks = pool()
  print(i, n, id.trimmed, symget("SYSRC"), symget("SYSMSG"), blocks)
end
for _, line in ipairs(hostlog()) do
  if line:find("as %-%-fail") then print(line) end
end
