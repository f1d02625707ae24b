-- calls() takes the interface's operation names without regard to case; a name it does not
-- know is an error, not a count of 0 that looks like "never called".
local t, i = char(20), char(20)
metadata_resolve([[vqsobj:Person\A0000001.PERSON01]], t, i)
print(calls("resolveUri"), calls("RESOLVEURI"), calls("findByPath"))
local ok, message = pcall(calls, "resolveURIs")
print(ok, message:match("^[^(]*"))
