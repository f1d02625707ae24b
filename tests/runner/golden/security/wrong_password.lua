--! args: --user bo --password not-bos
-- A wrong password: every function fails with -1 and the login status, and nothing runs as
-- anybody else.
local t2, t1 = char(20), char(20)
print(metasec_getnid("", "FOUNDATION", 1, t2, t1), symget("SYSRC"))
print(symget("SYSMSG"))
local ty, id = char(20), char(20)
print(metadata_resolve("vqsobj:PhysicalTable?@Name='ORDERS'", ty, id), symget("SYSRC"))
