-- Without --user the program is the local administrator; newsession{user=...} connects as
-- somebody else in a session of its own. Dee may read but not write or administer.
local function attempt()
  local uri = char(60)
  local rc = metadata_newobj("Document", uri, "note")
  print("newobj", rc, symget("SYSRC"))
  rc = metasec_setauth("", "", "Person", "Dee Novak", "G", "Write", "")
  print("setauth", rc)
  return rc
end
newsession{context="DOSUB", user="dee", password="dee.pass", attempt}
newsession{context="DOSUB", user="dee", password="wrong", function()
  print("wrong password", metasec_setauth("", "", "Person", "Dee Novak", "G", "Write", ""),
        symget("SYSRC"))
end}
print(pcall(newsession, {context="other", user="dee", function() end}))
local uri = char(60)
print("administrator newobj", metadata_newobj("Document", uri, "note"))
