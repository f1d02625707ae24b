--! args: --repository {source}/examples/sample_repository.json --user bo --password bo.pass
--! before: --repository {tmp}/missing.json program.lua
--! before: --repository {source}/examples/sample_repository.json --user nobody --password x program.lua
-- access(...) in a program: the answer for the session user (Bo), the same answer as
-- enforcement (Bo writes ORDERS through the Sales Tables template); LEDGER, which Bo may not
-- read, is no object to him, and another identity's access is refused to him (he administers
-- nothing); every wrong argument raises an error that names it.
local function show(object, permission, identity)
  local granted, why = access(object, permission, identity)
  print(granted, why.target, #why.steps)
  for _, line in ipairs(why.lines) do print(line) end
  return granted
end
local orders = [[vqsobj:PhysicalTable\A0000001.TABLE001]]
local ledger = "vqsobj:PhysicalTable?@Name='LEDGER'"
print("ORDERS write allowed:", show(orders, "Write"))
print("setattr ORDERS:", metadata_setattr(orders, "Note", "checked"))
print("LEDGER write allowed:", pcall(show, ledger, "write"))
print("setattr LEDGER:", metadata_setattr(ledger, "Note", "checked"), symget("SYSRC"))
print(pcall(show, "FOUNDATION", "Read", "Dee Novak"))
show([[vqsobj:AccessControlTemplate\A0000001.T0000002]], "Write")
for _, arguments in ipairs{
    {"A0000001.NOTHERE1", "Read"},
    {"vqsobj:PhysicalTable?@Name='NONE'", "Read"},
    {"vqsobj:PhysicalTable?@Name=", "Read"},
    {orders, "Wirte"},
    {orders, ""},
    {orders, "Read", "Nobody"},
    {orders},
    {}} do
  print(pcall(access, table.unpack(arguments)))
end
print(pcall(access, orders, {}))
