--! before: repo import {source}/examples/sample_repository.json {tmp}/x.db
--! args: --repository {tmp}/x.db
--! runs: 2
-- Attributes, properties and associations a program changes in a repository file are there in
-- the next run: the first run shows the table as imported and changes it, the second shows every
-- change (and changes nothing).
local ORDERS = [[vqsobj:PhysicalTable\A0000001.TABLE001]]
local MONTH = [[vqsobj:Column\A0000002.COLUMN01]]
local name, value, uri = char(24), char(40), char(60)

local function listing(fn, object)
  local all, n = {}, 1
  while fn(object, n, name, value) >= n do
    all[#all + 1] = name.trimmed .. "=" .. value.trimmed
    n = n + 1
  end
  return table.concat(all, ", ")
end
local function members(object, association)
  local all, n = {}, 1
  while metadata_getnass(object, association, n, uri) >= n do
    all[#all + 1] = (uri.trimmed:gsub("^VQSOBJ:%a+\\", ""))
    n = n + 1
  end
  return table.concat(all, " ")
end
local function names(object)
  local all, n = {}, 1
  while metadata_getnasl(object, n, name) >= n do
    all[#all + 1] = name.trimmed
    n = n + 1
  end
  return table.concat(all, " ")
end
local function show()
  print("attributes:", listing(metadata_getnatr, ORDERS))
  print("properties:", listing(metadata_getnprp, ORDERS))
  print("associations:", names(ORDERS))
  print("columns:", members(ORDERS, "Columns"))
  print("MONTH's table:", members(MONTH, "Table"))
  print("COLUMN02's table:", members([[vqsobj:Column\A0000001.COLUMN02]], "Table"))
  local property = char(40)
  print("Note:", metadata_getprop(ORDERS, "Note", value, property), value.trimmed, property.trimmed)
end

show()
if metadata_getprop(ORDERS, "Note", value) == -2 then
  print("change:", metadata_setattr(ORDERS, "NumRows", "120001"),
        metadata_setattr(ORDERS, "Checked", "yes"),
        metadata_setprop(ORDERS, "RefreshSchedule", "hourly"),
        metadata_setprop(ORDERS, "Note", "kept", uri),
        metadata_setassn(ORDERS, "Columns", "Remove", [[vqsobj:Column\A0000001.COLUMN02]]),
        metadata_setassn(ORDERS, "Columns", "Append", MONTH),
        metadata_delassn(ORDERS, "ResponsibleParties"))
end
