-- The host's message text names only the kind of failure; the log says where a URI is wrong.
-- A URI that matches nothing is routine and leaves no note.
local t, i = char(20), char(20)
print(metadata_resolve([[vqsobj:Person?@Name=x]], t, i), symget("SYSMSG"))
print(metadata_resolve([[vqsobj:Person?@Name='nobody']], t, i), symget("SYSRC"))
print(metadata_pathobj("", "Shared Data", "", t, i), symget("SYSMSG"))
for _, line in ipairs(hostlog()) do
  if line:find("Metadata repository", 1, true) then print(line) end
end
