-- SYSMSG and SYSRC: set by a failing call, cleared by the next successful one, and left alone by
-- a call that stops at an invalid index before it starts.
local typeName, id, uri = char(32), char(20), char(60)
print("before any call:", symget("SYSRC"), symget("SYSMSG"))
print("malformed URI:", metadata_resolve("vqsobj:Person?@Name=", typeName, id))
print("  SYSRC:", symget("SYSRC"))
print("  SYSMSG:", symget("SYSMSG"))
print("invalid index:", metadata_getnobj("vqsobj:Person?@Title='Analyst'", 2147483647, uri))
print("  SYSRC kept:", symget("SYSRC"))
print("missing index:", metadata_getnobj("vqsobj:Person?@Title='Analyst'", missing, uri))
print("  SYSRC kept:", symget("SYSRC"))
print("success:", metadata_getnobj("vqsobj:Person?@Title='Analyst'", 1, uri), uri.trimmed)
print("  SYSRC:", symget("SYSRC"), "SYSMSG empty:", symget("SYSMSG") == "")
