--! args: --fail-operation resolveUri:2
--! before: --fail-operation resolveUri:0 fail_operation.lua
-- The second resolution of the run fails as the repository's storage failing would; the
-- function reports it and goes on, the program sees it in SYSRC and SYSMSG, and the log says
-- which fault was injected.
local type, id = char(20), char(20)
for i = 1, 3 do
  local uri = "vqsobj:Person?@Name='Ada Field' or @Name='n" .. i .. "'"
  print(i, metadata_resolve(uri, type, id), id.trimmed, symget("SYSRC"), symget("SYSMSG"))
end
for _, line in ipairs(hostlog()) do
  if line:find("as %-%-fail") then print(line) end
end
