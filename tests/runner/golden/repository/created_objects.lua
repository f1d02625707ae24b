--! before: repo import {source}/examples/sample_repository.json {tmp}/x.db
--! args: --repository {tmp}/x.db
--! runs: 2
-- Objects a program creates in a repository file are there for the next run: each run finds the
-- notes of the runs before it and adds one, placed in the Reports folder; the scratch object the
-- first run leaves behind is deleted by the second.
local typeName, id, uri = char(32), char(20), char(60)
local NOTES = [[vqsobj:Document?@Name='Run Note']]
local SCRATCH = [[vqsobj:Person?@Name='Scratch']]

print("notes before:", metadata_resolve(NOTES, typeName, id))
print("in the folder:", metadata_pathobj("FOUNDATION", "/Shared Data/Sales/Reports/Run Note",
                                         "Document", typeName, id))
print("new note:", metadata_newobj("Document", uri, "Run Note", "FOUNDATION",
                                   [[vqsobj:Tree\A0000001.TREE0004]], "Members"), uri.trimmed)
print("its URI resolves:", metadata_resolve(uri.trimmed, typeName, id), typeName.trimmed,
      id.trimmed)
print("in the folder:", metadata_pathobj("FOUNDATION", "/Shared Data/Sales/Reports/Run Note",
                                         "Document", typeName, id))
metadata_purge(" ")
print("notes after:", metadata_resolve(NOTES, typeName, id))

if metadata_resolve(SCRATCH, typeName, id) == 0 then
  print("scratch created:", metadata_newobj("Person", uri, "Scratch"), uri.trimmed)
else
  print("scratch found:", id.trimmed, "deleted:", metadata_delobj(SCRATCH))
  print("scratch left:", metadata_resolve(SCRATCH, typeName, id))
end
print("a bad type:", metadata_newobj("Planet", uri, "Pluto"), symget("SYSRC"), symget("SYSMSG"))
