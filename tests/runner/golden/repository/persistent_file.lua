--! before: repo import {source}/examples/sample_repository.json {tmp}/x.db
--! before: repo export {tmp}/x.db {tmp}/exported.json
--! args: --repository {tmp}/x.db
--! after: {tmp}/exported.json
--! runs: 2
-- A repository file imported from the sample keeps its objects from one run to the next, and an
-- export writes them back out as a seed file.
local typeName, id = char(32), char(20)
print("analysts:", metadata_resolve("vqsobj:Person?@Title='Analyst'", typeName, id), id.trimmed)
print("path:", metadata_pathobj("FOUNDATION", "/Shared Data/Finance/LEDGER", "", typeName, id),
      typeName.trimmed, id.trimmed)
local seed = assert(io.open(arg[1]))
local text = seed:read("a")
seed:close()
print("export names the foundation repository:", text:find('"FOUNDATION"', 1, true) ~= nil)
print("export holds the ledger table:", text:find("A0000001.TABLE003", 1, true) ~= nil)
