-- Finding objects and reading server-wide facts with the first object functions.
-- Run: build/bin/mdhost examples/resolution.lua   (bundled sample repository)

-- METADATA_VERSION and METADATA_PAUSED: the server's answers as they are.
print("server version:", metadata_version(), "paused:", metadata_paused())

-- METADATA_RESOLVE: how many objects a URI matches, with type and identifier of the first.
local type, id = char(20), char(17)
local n = metadata_resolve([[vqsobj:PhysicalTable?contains(@Name, 'O')]], type, id)
print("tables with an O:", n, "first:", type.trimmed, id.trimmed)

-- A malformed URI is reported through SYSMSG and SYSRC; with no objects the value is 0.
print("malformed:", metadata_resolve([[vqsobj:PhysicalTable?@Name contains 'O']], type, id),
      "SYSRC:", symget("SYSRC"))

-- METADATA_GETNOBJ: the n-th match as a short object URI, for n = 1..count.
local uri = char(60)
local count = metadata_getnobj([[vqsobj:Column?@Name != '']], 1, uri)
for i = 1, count do
  metadata_getnobj([[vqsobj:Column?@Name != '']], i, uri)
  print(string.format("column %d of %d: %s", i, count, uri.trimmed))
end

-- An index outside 1..count gives -4 and leaves the output as it was.
print("index past the end:", metadata_getnobj([[vqsobj:Column?@Name != '']], count + 1, uri))

-- A URI that matches nothing gives 0 and no message.
print("nothing:", metadata_resolve([[vqsobj:Person?@Name='Nobody']], type, id),
      "SYSRC:", symget("SYSRC"), "SYSMSG:", "[" .. symget("SYSMSG") .. "]")

-- METADATA_PATHOBJ: an object found by its folder path (repository blank = the default one).
-- Outputs keep the length of the value (no padding).
local ptype, pid = char(20), char(20)
print("by path:", metadata_pathobj("", "/Shared Data/Sales/ORDERS", "", ptype, pid),
      ptype.value, pid.value)
print("unknown repository:", metadata_pathobj("NOSUCHREPO", "/Shared Data", "", ptype, pid),
      "SYSRC:", symget("SYSRC"))
print("message:", symget("SYSMSG"))

-- METADATA_GETNTYP: the type names of the server, one by one.
local name = char(32)
local types = metadata_getntyp(1, name)
for i = 1, types do
  metadata_getntyp(i, name)
  io.write(name.trimmed, i < types and ", " or "\n")
end

-- Second resolutions are answered from the session's cache: the server is asked once.
local before = calls("resolveUri")
metadata_resolve([[VQSOBJ:PERSON?@NAME='Ada Field']], type, id)
metadata_resolve([[vqsobj:person?@name='Ada Field']], type, id)
print("resolutions asked of the server for two calls:", calls("resolveUri") - before)

-- METADATA_PURGE: forget one URI, or everything including the connection.
metadata_purge([[vqsobj:Person?@Name='Ada Field']])
metadata_purge()
print("after purge:", metadata_resolve([[vqsobj:Person?@Name='Ada Field']], type, id), id.trimmed)
