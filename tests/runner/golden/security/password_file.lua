--! before: --log {tmp}/before.log write_password.helper {tmp}/password bo.pass
--! args: --user bo --password-file {tmp}/password
-- A password from a file: Bo logs in, sees what analysts see, and may change ORDERS only.
local ty, id = char(20), char(20)
print("LEDGER:", metadata_resolve("vqsobj:PhysicalTable?@Name='LEDGER'", ty, id))
print("ORDERS:", metadata_resolve("vqsobj:PhysicalTable?@Name='ORDERS'", ty, id), id.trimmed)
local uri = char(60)
print("new document:", metadata_newobj("Document", uri, "Bo's note"), symget("SYSMSG"))
print("own login only:", metasec_ldump("", "", 0, "", "", ""))
for _, line in ipairs(hostlog()) do
  if line:find("UserId", 1, true) or line:find("********", 1, true) then print(line) end
end
