-- A guided tour of the function packages on the sample repository
-- (examples/sample_repository.json): what each function returns, with SYSRC and SYSMSG
-- whenever a call reports a failure.
--
-- Run it with `make run`, or `build/bin/mdhost examples/tour.lua`. Changes the tour makes stay
-- in memory: the sample file is never written.

local ran = {}

-- Calls a package function by name and notes that it ran. Returns its value.
local function try(name, ...)
  local value = _G[name](...)
  if not ran[name] then
    ran[name] = true
    ran[#ran + 1] = name
  end
  return value
end

-- " [SYSRC=... SYSMSG=...]" after a call that reported a failure, else "".
local function status()
  local rc = symget("SYSRC")
  if rc == nil or rc == "0" then return "" end
  return string.format("  [SYSRC=%s SYSMSG=%s]", rc, symget("SYSMSG") or "")
end

local function show(text, ...)
  print("  " .. string.format(text, ...) .. status())
end

local function section(title)
  print()
  print("== " .. title .. " ==")
end

-- Lists elements 1..count of an indexed function; `call(n)` returns the count and a text.
local function list(limit, call)
  local count, text = call(1)
  if count == nil then return end
  if type(count) ~= "number" or count < 1 then
    show("none (value %s)", tostring(count))
    return
  end
  show("%d element%s", count, count == 1 and "" or "s")
  print(string.format("    %2d  %s", 1, text))
  for n = 2, math.min(count, limit) do
    local _, nth = call(n)
    print(string.format("    %2d  %s", n, nth))
  end
  if count > limit then print(string.format("    ... %d more", count - limit)) end
end

local ORDERS = [[vqsobj:PhysicalTable\A0000001.TABLE001]]
local DATA_TABLES = [[vqsobj:PhysicalTable?@TableType='DATA']]

print("mdhost tour: the object and security functions on the sample repository")

section("Server")
local version = try("METADATA_VERSION")
if version ~= nil then show("METADATA_VERSION() = %s", tostring(version)) end
local paused = try("METADATA_PAUSED")
if paused ~= nil then show("METADATA_PAUSED() = %s", tostring(paused)) end

section("Types: METADATA_GETNTYP(n, type)")
do
  local typeName = char(32)
  list(20, function(n)
    local count = try("METADATA_GETNTYP", n, typeName)
    return count, typeName.trimmed
  end)
end

section("Resolution")
do
  local typeName, id, uri = char(32), char(20), char(60)
  local count = try("METADATA_RESOLVE", DATA_TABLES, typeName, id)
  if count ~= nil then
    show("METADATA_RESOLVE(%q) = %s; first: type %s, id %s", DATA_TABLES, tostring(count),
         typeName.trimmed, id.trimmed)
  end
  print("  METADATA_GETNOBJ(uri, n, object):")
  list(10, function(n)
    local value = try("METADATA_GETNOBJ", DATA_TABLES, n, uri)
    return value, uri.trimmed
  end)
  local nothing = try("METADATA_RESOLVE", [[vqsobj:Person?@Name='Nobody']], typeName, id)
  if nothing ~= nil then show("a URI that matches nothing: METADATA_RESOLVE = %s", tostring(nothing)) end

  count = try("METADATA_PATHOBJ", "FOUNDATION", "/Shared Data/Sales/ORDERS", "PhysicalTable",
              typeName, id)
  if count ~= nil then
    show("METADATA_PATHOBJ(FOUNDATION, /Shared Data/Sales/ORDERS) = %s; type %s, id %s",
         tostring(count), typeName.trimmed, id.trimmed)
  end
end

section("Attributes of " .. ORDERS)
do
  local name, value = char(32), char(80)
  local rc = try("METADATA_GETATTR", ORDERS, "NumRows", value)
  if rc ~= nil then show("METADATA_GETATTR(NumRows) = %s; value %q", tostring(rc), value.trimmed) end
  print("  METADATA_GETNATR(uri, n, name, value):")
  list(10, function(n)
    local count = try("METADATA_GETNATR", ORDERS, n, name, value)
    return count, name.trimmed .. " = " .. value.trimmed
  end)
end

section("Properties of " .. ORDERS)
do
  local name, value, propertyUri = char(32), char(80), char(60)
  print("  METADATA_GETNPRP(uri, n, name, value):")
  list(10, function(n)
    local count = try("METADATA_GETNPRP", ORDERS, n, name, value)
    return count, name.trimmed .. " = " .. value.trimmed
  end)
  local rc = try("METADATA_GETPROP", ORDERS, "RefreshSchedule", value, propertyUri)
  if rc ~= nil then
    show("METADATA_GETPROP(RefreshSchedule) = %s; value %q, property %s", tostring(rc),
         value.trimmed, propertyUri.trimmed)
  end
end

section("Associations of " .. ORDERS)
do
  local name, uri = char(32), char(60)
  print("  METADATA_GETNASL(uri, n, name):")
  list(10, function(n)
    local count = try("METADATA_GETNASL", ORDERS, n, name)
    return count, name.trimmed
  end)
  print("  METADATA_GETNASN(uri, \"Columns\", n, object):")
  list(10, function(n)
    local count = try("METADATA_GETNASN", ORDERS, "Columns", n, uri)
    return count, uri.trimmed
  end)
end

section("Properties and associations changed (in memory only)")
do
  local uri, value, propertyUri = char(60), char(80), char(60)
  -- One line per association: its objects' short URIs, or the value when it has none.
  local function members(object, association)
    local all, n = {}, 1
    while true do
      local count = try("METADATA_GETNASS", object, association, n, uri)
      if count == nil then return "" end
      if count < n then break end
      all[#all + 1] = (uri.trimmed:gsub("^VQSOBJ:", ""))
      n = n + 1
    end
    if #all == 0 then return "(none)" end
    return table.concat(all, " ")
  end
  local COLUMN = function(id) return [[vqsobj:Column\]] .. id end

  show("a column names its table: METADATA_GETNASS(COLUMN02, Table) -> %s",
       members(COLUMN("A0000001.COLUMN02"), "Table"))
  local rc = try("METADATA_SETPROP", ORDERS, "Steward Note", "checked", propertyUri)
  if rc ~= nil then show("METADATA_SETPROP(Steward Note, checked) = %s (created); property %s", tostring(rc), propertyUri.trimmed) end
  rc = try("METADATA_SETPROP", ORDERS, "Steward Note", "rechecked", propertyUri)
  if rc ~= nil then show("METADATA_SETPROP(Steward Note, rechecked) = %s (changed)", tostring(rc)) end
  rc = try("METADATA_GETPROP", ORDERS, "Steward Note", value, propertyUri)
  if rc ~= nil then show("METADATA_GETPROP(Steward Note) = %s; value %q", tostring(rc), value.trimmed) end
  local typeName, id = char(32), char(20)
  rc = try("METADATA_RESOLVE", propertyUri.trimmed, typeName, id)
  if rc ~= nil then show("METADATA_RESOLVE(%s) = %s; type %s", propertyUri.trimmed, tostring(rc), typeName.trimmed) end

  show("Columns of ORDERS: %s", members(ORDERS, "Columns"))
  local changes = {
    {"Remove", {"A0000001.COLUMN02"}},
    {"Append", {"A0000002.COLUMN01"}},
    {"Merge", {"A0000001.COLUMN02", "A0000001.COLUMN01"}},
    {"Modify", {"A0000001.COLUMN02", "A0000001.COLUMN01", "A0000001.COLUMN03"}},
    {"replace", {"A0000001.COLUMN01", "A0000001.COLUMN02", "A0000001.COLUMN03"}},
    {"Swap", {"A0000001.COLUMN01"}},
  }
  for _, change in ipairs(changes) do
    local kind, ids = change[1], change[2]
    local targets = {}
    for i, target in ipairs(ids) do targets[i] = COLUMN(target) end
    rc = try("METADATA_SETASSN", ORDERS, "Columns", kind, table.unpack(targets))
    if rc ~= nil then
      show("METADATA_SETASSN(Columns, %s, %s) = %s -> %s", kind, table.concat(ids, ", "), tostring(rc),
           members(ORDERS, "Columns"))
    end
  end
  show("the column FORECAST.MONTH came and went: its Table -> %s", members(COLUMN("A0000002.COLUMN01"), "Table"))
  rc = try("METADATA_SETASSN", ORDERS, "Columns", "Merge", COLUMN("A0000001.NOSUCH01"))
  if rc ~= nil then show("METADATA_SETASSN with no target that resolves = %s", tostring(rc)) end
  rc = try("METADATA_DELASSN", ORDERS, "TablePackage")
  if rc ~= nil then show("METADATA_DELASSN(TablePackage) = %s", tostring(rc)) end
  show("the library's Tables -> %s", members([[vqsobj:Library\A0000001.LIB00001]], "Tables"))
  rc = try("METADATA_DELASSN", ORDERS, "TablePackage")
  if rc ~= nil then show("METADATA_DELASSN(TablePackage) again = %s", tostring(rc)) end
end

section("Changes (in memory only)")
do
  local uri, value = char(60), char(80)
  local rc = try("METADATA_NEWOBJ", "Document", uri, "Tour Note")
  if rc ~= nil then show("METADATA_NEWOBJ(Document, Tour Note) = %s; new object %s", tostring(rc), uri.trimmed) end
  local created = uri.trimmed
  if created ~= "" then
    rc = try("METADATA_SETATTR", created, "TextRole", "Tour")
    if rc ~= nil then show("METADATA_SETATTR(TextRole, Tour) = %s", tostring(rc)) end
    rc = try("METADATA_GETATTR", created, "TextRole", value)
    if rc ~= nil then show("METADATA_GETATTR(TextRole) = %s; value %q", tostring(rc), value.trimmed) end
    local tree = [[vqsobj:Tree\A0000001.TREE0004]]
    rc = try("METADATA_SETASSN", tree, "Members", "Append", created)
    if rc ~= nil then show("METADATA_SETASSN(Reports folder, Members, Append, new object) = %s", tostring(rc)) end
    rc = try("METADATA_DELOBJ", created)
    if rc ~= nil then show("METADATA_DELOBJ(new object) = %s", tostring(rc)) end
    local typeName, id = char(32), char(20)
    rc = try("METADATA_RESOLVE", created, typeName, id)
    if rc ~= nil then show("METADATA_RESOLVE(deleted object) = %s", tostring(rc)) end
  end
  -- A new object placed in an association of another: the Reports folder's Members.
  rc = try("METADATA_NEWOBJ", "Document", uri, "Tour Report", "FOUNDATION",
           [[vqsobj:Tree\A0000001.TREE0004]], "Members")
  if rc ~= nil then
    show("METADATA_NEWOBJ(Document, Tour Report, FOUNDATION, Reports folder, Members) = %s; new object %s",
         tostring(rc), uri.trimmed)
  end
  if rc == 0 then
    local typeName, id = char(32), char(20)
    rc = try("METADATA_PATHOBJ", "FOUNDATION", "/Shared Data/Sales/Reports/Tour Report", "Document",
             typeName, id)
    if rc ~= nil then show("METADATA_PATHOBJ(.../Reports/Tour Report) = %s; id %s", tostring(rc), id.trimmed) end
    rc = try("METADATA_DELOBJ", uri.trimmed)
    if rc ~= nil then show("METADATA_DELOBJ(Tour Report) = %s", tostring(rc)) end
  end
  rc = try("METADATA_DELOBJ", [[vqsobj:Document?@Name='Nothing Like It']])
  if rc ~= nil then show("METADATA_DELOBJ(a URI that matches nothing) = %s", tostring(rc)) end
  rc = try("METADATA_SETPROP", ORDERS, "RefreshSchedule", "hourly")
  if rc ~= nil then show("METADATA_SETPROP(RefreshSchedule, hourly) = %s", tostring(rc)) end
  rc = try("METADATA_DELASSN", ORDERS, "ResponsibleParties")
  if rc ~= nil then show("METADATA_DELASSN(ResponsibleParties) = %s", tostring(rc)) end
end

section("Applications and credentials")
do
  local uri, protocol, host, port, service = char(80), char(16), char(40), char(8), char(16)
  local rc = try("METADATA_GETURI", "Report Portal", uri, protocol, host, port, service)
  if rc ~= nil then
    show("METADATA_GETURI(Report Portal) = %s; uri %q, protocol %q, host %q, port %q, service %q",
         tostring(rc), uri.trimmed, protocol.trimmed, host.trimmed, port.trimmed, service.trimmed)
  end
  local text = try("METADATA_APPPROP", "Report Portal", "WelcomeText")
  if text ~= nil then show("METADATA_APPPROP(Report Portal, WelcomeText) = %q", (text:gsub(" +$", ""))) end
  rc = try("METADATA_GETURI", "Batch Scheduler", uri)
  if rc ~= nil then
    show("METADATA_GETURI(Batch Scheduler) = %s (registered as a service, not an application: nothing written)",
         tostring(rc))
  end
  local short = char(12)
  rc = try("METADATA_GETURI", "Report Portal", short)
  if rc ~= nil then show("METADATA_GETURI(Report Portal) into 12 characters = %s", tostring(rc)) end
  text = try("METADATA_APPPROP", "Report Portal", "MaxSessions")
  if text ~= nil then show("METADATA_APPPROP(Report Portal, MaxSessions) = %q", text) end
  text = try("METADATA_APPPROP", "Report Portal", "NoSuchText")
  if text ~= nil then show("METADATA_APPPROP(Report Portal, NoSuchText) = %q", text) end

  -- A Java object of the program receives the connection's credentials (mdhost --user and
  -- --password); the object shows the password only masked.
  local made, why = pcall(java.new, "receiver", "rux.CredentialReceiver")
  if made then
    local code = try("METADATA_PASSID", "receiver")
    if code ~= nil then
      -- PASSID reports through its return code only; SYSMSG and SYSRC keep what they held.
      print(string.format("  METADATA_PASSID(receiver) = %s; the Java object received: %s",
                          tostring(code), java.call("receiver", "describe")))
      if java.call("receiver", "getUser") == "" then
        print("    (no credentials given: run with --user NAME --password TEXT to see them arrive)")
      end
    end
    java.drop("receiver")
  else
    print("  Java objects are not available here: " .. tostring(why))
  end
  local code = try("METADATA_PASSID", "noSuchJavaObject")
  if code ~= nil then
    print(string.format("  METADATA_PASSID(noSuchJavaObject) = %s (3: no such Java object)", tostring(code)))
  end
  rc = try("METADATA_PURGE")
  if rc ~= nil then show("METADATA_PURGE() = %s (cached resolutions dropped)", tostring(rc)) end
end

section("Security: transactions")
do
  local text = char(40)
  local rc = try("METASEC_BEGTRAN", "", 0, text)
  if rc ~= nil then show("METASEC_BEGTRAN(default repository) = %s; transaction %q", tostring(rc), text.trimmed) end
  rc = try("METASEC_ENDTRAN", "", text, 0)
  if rc ~= nil then show("METASEC_ENDTRAN(flag 0: commit) = %s", tostring(rc)) end
  rc = try("METASEC_BEGTRAN", "Sales Project", 0, text)
  if rc ~= nil then show("METASEC_BEGTRAN(Sales Project) = %s; transaction %q", tostring(rc), text.trimmed) end
  rc = try("METASEC_ENDTRAN", "Sales Project", text, 2)
  if rc ~= nil then show("METASEC_ENDTRAN(flag 2: abandon) = %s", tostring(rc)) end
  local short = char(4)
  rc = try("METASEC_BEGTRAN", "", 0, short)
  if rc ~= nil then show("METASEC_BEGTRAN into a 4-byte variable = %s (the transaction is ended again)", tostring(rc)) end
end

-- Walks entries 1, 2, ... of a function that returns one entry per call; `call(n)` returns
-- whether the n-th entry was found, its text, and the function's value.
local function walk(limit, call)
  for n = 1, limit do
    local found, text, value = call(n)
    if not found then
      if n == 1 then show("none (value %s)", tostring(value)) end
      return
    end
    print(string.format("    %2d  %s", n, text))
  end
end

section("Security: identities and authorizations")
do
  local transaction = char(64)
  local rc = try("METASEC_BEGTRAN", "", 0, transaction)
  if rc ~= nil then show("METASEC_BEGTRAN = %s; transaction %q", tostring(rc), transaction.trimmed) end
  local text1, text2, text3 = char(40), char(40), char(20)
  print("  METASEC_GETNID(transaction, FOUNDATION, n, text 2, text 1, flags, text 3):")
  walk(12, function(n)
    local value = try("METASEC_GETNID", transaction, "FOUNDATION", n, text2, text1, 0, text3)
    return value == n, text1.trimmed .. " / " .. text2.trimmed .. " / " .. text3.trimmed, value
  end)
  local a, b, c = char(40), char(40), char(40)
  print("  METASEC_GETNACT(transaction, FOUNDATION, n, text 1, text 2, text 3):")
  list(10, function(n)
    local count = try("METASEC_GETNACT", transaction, "FOUNDATION", n, a, b, c)
    return count, a.trimmed .. " / " .. b.trimmed .. " / " .. c.trimmed
  end)
  rc = try("METASEC_ENDTRAN", "", transaction, 0)
  if rc ~= nil then show("METASEC_ENDTRAN = %s", tostring(rc)) end

  -- One listing: identity text 2 and text 1 (in: a filter), code, permission (in: a filter),
  -- where the entry comes from. Codes: 2 grant, 1 deny on the object itself; 18 and 17 derived
  -- from its repository; 34, 33 and 32 effective decisions (docs/security.md).
  local function authorizations(title, txn, reference, types, names, permission, flags)
    print("  " .. title)
    local t2, t1, code, p, q = char(20), char(30), char(4), char(12), char(30)
    walk(12, function(n)
      t2.value, t1.value, p.value = types, names, permission
      local value = try("METASEC_GETNAUTH", txn, reference, n, t2, t1, code, p, q, flags)
      return value == 0, string.format("%-14s %-13s %2s %-10s %s", t1.trimmed, t2.trimmed,
                                       code.trimmed, p.trimmed, q.trimmed), value
    end)
  end
  authorizations("METASEC_GETNAUTH(LEDGER's entries and those it inherits):", "",
                 "vqsobj:PhysicalTable/A0000001.TABLE003", "", "", "", 0)
  authorizations("METASEC_GETNAUTH(FOUNDATION, filter Person 'Bo Lindqvist', Write, effective view):",
                 "", "FOUNDATION", "Person", "Bo Lindqvist", "Write", 2)
  authorizations("METASEC_GETNAUTH(ORDERS, filter 'Bo Lindqvist', effective view):",
                 "", "vqsobj:PhysicalTable\\A0000001.TABLE001", "", "Bo Lindqvist", "", 2)

  local orders = "vqsobj:PhysicalTable\\A0000001.TABLE001"
  local staged = char(40)
  try("METASEC_BEGTRAN", "", 0, staged)
  rc = try("METASEC_SETAUTH", staged, "", "Person", "Dee Novak", "Grant", "Write", "A0000001.TABLE001")
  if rc ~= nil then show("METASEC_SETAUTH(in %s: grant Dee Novak Write on ORDERS) = %s", staged.trimmed, tostring(rc)) end
  authorizations("  ... seen with the transaction's text:", staged, orders, "", "Dee Novak", "", 1)
  rc = try("METASEC_ENDTRAN", "", staged, 2)
  if rc ~= nil then show("METASEC_ENDTRAN(flag 2: abandon) = %s", tostring(rc)) end
  authorizations("  ... and after the abandon, without a transaction:", "", orders, "", "Dee Novak", "", 1)
  try("METASEC_BEGTRAN", "", 0, staged)
  rc = try("METASEC_SETAUTH", staged, "", "Person", "Dee Novak", "Grant", "Write", "A0000001.TABLE001")
  if rc ~= nil then show("METASEC_SETAUTH(in %s: the same grant) = %s", staged.trimmed, tostring(rc)) end
  rc = try("METASEC_ENDTRAN", "", staged, 0)
  if rc ~= nil then show("METASEC_ENDTRAN(flag 0: commit) = %s", tostring(rc)) end
  authorizations("  ... committed:", "", orders, "", "Dee Novak", "", 1)
  rc = try("METASEC_SETAUTH", "", "", "", "Nobody", "G", "Read", "")
  if rc ~= nil then show("METASEC_SETAUTH(unknown identity) = %s (the repository's status)", tostring(rc)) end

  local first = #hostlog() + 1
  rc = try("METASEC_LDUMP", "", "", 0, "", "", "")
  if rc ~= nil then
    show("METASEC_LDUMP = %s; in the host log:", tostring(rc))
    for _, line in ipairs(hostlog(first)) do print("    " .. line) end
  end
end

section("Security: access control templates")
do
  -- A template holds grants and denies once; applying it to objects gives them all.
  local function why(object, permission, identity)
    local granted, answer = access(object, permission, identity)
    print(string.format("  access(%s, %s%s) = %s", object, permission,
                        identity and (", " .. identity) or "", tostring(granted)))
    for _, line in ipairs(answer.lines) do print("    " .. line) end
  end
  local ref, name, description = char(20), char(30), char(60)
  print("  METASEC_GETNACT(FOUNDATION, n, reference, name, description):")
  walk(5, function(n)
    local value = try("METASEC_GETNACT", "", "FOUNDATION", n, ref, name, description)
    return value == n, ref.trimmed .. "  " .. name.trimmed .. "  " .. description.trimmed, value
  end)
  local txn = char(40)
  try("METASEC_BEGTRAN", "", 0, txn)
  local rc = try("METASEC_NEWACT", txn, "", "Name", "Ledger Keepers", "Description", "Who keeps the ledger")
  if rc ~= nil then show("METASEC_NEWACT(in %s: Ledger Keepers) = %s", txn.trimmed, tostring(rc)) end
  rc = try("METASEC_SETAUTH", txn, "", "Person", "Dee Novak", "G", "Write", "Ledger Keepers")
  if rc ~= nil then show("METASEC_SETAUTH(in %s: the template grants Dee Novak Write) = %s", txn.trimmed, tostring(rc)) end
  rc = try("METASEC_APPLYACT", txn, "vqsobj:PhysicalTable?@Name='LEDGER'", "Ledger Keepers")
  if rc ~= nil then show("METASEC_APPLYACT(in %s: to LEDGER) = %s", txn.trimmed, tostring(rc)) end
  rc = try("METASEC_ENDTRAN", "", txn, 0)
  if rc ~= nil then show("METASEC_ENDTRAN(commit) = %s", tostring(rc)) end
  local t2, t1, code, p, q = char(20), char(30), char(4), char(12), char(30)
  print("  METASEC_GETNAUTH(LEDGER, Write): entries with text Q naming where they come from:")
  walk(20, function(n)
    t2.value, t1.value, p.value = "", "", "Write"  -- inputs (filters) as well as outputs
    local value = try("METASEC_GETNAUTH", "", "vqsobj:PhysicalTable?@Name='LEDGER'", n, t2, t1, code, p, q, 0)
    return value == 0, string.format("%-22s %3s %-10s %s", t1.trimmed, code.trimmed, p.trimmed, q.trimmed), value
  end)
  why("vqsobj:PhysicalTable?@Name='LEDGER'", "Write", "Dee Novak")
  local an, av = char(20), char(40)
  print("  METASEC_GETNACTA(Ledger Keepers, n, name, value):")
  walk(5, function(n)
    local value = try("METASEC_GETNACTA", "", "Ledger Keepers", n, an, av)
    return value == n, an.trimmed .. " = " .. av.trimmed, value
  end)
  rc = try("METASEC_SETACTA", "", "Ledger Keepers", "Name", "Ledger Stewards")
  if rc ~= nil then show("METASEC_SETACTA(Name = Ledger Stewards: a rename) = %s", tostring(rc)) end
  rc = try("METASEC_GETACTA", "", "Ledger Stewards", "description", av)
  if rc ~= nil then show("METASEC_GETACTA(description) = %s: %s", tostring(rc), av.trimmed) end
  -- A template is an object of the repository: it resolves like any other.
  local otype, oid = char(24), char(20)
  rc = try("METADATA_RESOLVE", "vqsobj:AccessControlTemplate?@Name='Ledger Stewards'", otype, oid)
  if rc ~= nil then show("METADATA_RESOLVE(the template by name) = %s: %s %s", tostring(rc), otype.trimmed, oid.trimmed) end
  rc = try("METASEC_REMACT", "", "vqsobj:PhysicalTable?@Name='LEDGER'", "Ledger Stewards")
  if rc ~= nil then show("METASEC_REMACT(from LEDGER) = %s", tostring(rc)) end
  rc = try("METASEC_REMACT", "", "vqsobj:PhysicalTable?@Name='LEDGER'", "Ledger Stewards")
  if rc ~= nil then show("METASEC_REMACT(again: it is not applied there) = %s", tostring(rc)) end
  why("vqsobj:PhysicalTable?@Name='LEDGER'", "Write", "Dee Novak")
  rc = try("METASEC_DELACT", "", "Ledger Stewards")
  if rc ~= nil then show("METASEC_DELACT(Ledger Stewards) = %s", tostring(rc)) end
  rc = try("METASEC_APPLYACT", "", "")
  if rc ~= nil then show("METASEC_APPLYACT with two arguments = %s (no template named)", tostring(rc)) end
end

section("Security: a second, less privileged user")
do
  -- The tour runs without --user: the local administrator. A session of its own connects as
  -- Dee Novak, who may read but not change the foundation repository (ORDERS aside, since the
  -- commit above).
  newsession{context = "DOSUB", user = "dee", password = "dee.pass", function()
    local type, id = char(20), char(20)
    local rc = try("METADATA_RESOLVE", "vqsobj:PhysicalTable?@Name='LEDGER'", type, id)
    if rc ~= nil then show("as dee: METADATA_RESOLVE(LEDGER) = %s (Everybody may read it; analysts may not)", tostring(rc)) end
    local uri = char(60)
    rc = try("METADATA_NEWOBJ", "Document", uri, "Dee's note")
    if rc ~= nil then show("as dee: METADATA_NEWOBJ(Document) = %s", tostring(rc)) end
    rc = try("METASEC_SETAUTH", "", "", "Person", "Dee Novak", "G", "Administer", "")
    if rc ~= nil then show("as dee: METASEC_SETAUTH(grant herself Administer) = %s (refused)", tostring(rc)) end
    local granted, answer = access("vqsobj:PhysicalTable?@Name='LEDGER'", "Write")
    print(string.format("  as dee: access(LEDGER, Write) = %s", tostring(granted)))
    for _, line in ipairs(answer.lines) do print("    " .. line) end
  end}
  newsession{context = "DOSUB", user = "dee", password = "a wrong guess", function()
    local t2, t1 = char(20), char(20)
    local rc = try("METASEC_GETNID", "", "FOUNDATION", 1, t2, t1)
    if rc ~= nil then show("with a wrong password: METASEC_GETNID = %s", tostring(rc)) end
  end}
end

section("Summary")
print(string.format("  %d functions ran.", #ran))
local untoured = {}
for name in pairs(_G) do
  if (name:match("^METADATA_") or name:match("^METASEC_")) and not ran[name] then
    untoured[#untoured + 1] = name
  end
end
table.sort(untoured)
if #untoured > 0 then
  print(string.format("  %d functions were not called in this run: %s", #untoured, table.concat(untoured, ", ")))
end

