-- Sessions: the program's session keeps one connection and its cached resolutions; a child
-- session of context "DOSUB" is its own cache owner with an interface of its own, any other
-- child shares its parent's. calls() and pool() show it.
local typeName, id = char(32), char(20)
local ada = [[vqsobj:Person?@Name='Ada Field']]
print("resolve:", metadata_resolve(ada, typeName, id), typeName.trimmed, id.trimmed)
print("resolveUri calls:", calls("resolveUri"))
metadata_resolve(ada, typeName, id)
print("same URI again, answered from the cache; resolveUri calls:", calls("resolveUri"))
local blocks, bytes = pool()
print("pool blocks held by the cache:", blocks > 0, bytes > 0)

newsession{context = "DOSUB", function()
  print("DOSUB child before its first call, resolveUri calls:", calls("resolveUri"))
  metadata_resolve(ada, typeName, id)
  print("DOSUB child after one resolve, resolveUri calls:", calls("resolveUri"))
end}
newsession{context = "OTHER", function()
  metadata_resolve(ada, typeName, id)
  print("other child shares the program's cache, resolveUri calls:", calls("resolveUri"))
end}
print("after both children, the program's count:", calls("resolveUri"))

-- Dropping the connection gives the pool back; the next call connects anew.
metadata_purge()
print("after METADATA_PURGE(), pool blocks:", (pool()))
metadata_resolve(ada, typeName, id)
print("resolve after purge, resolveUri calls:", calls("resolveUri"))

-- An error inside a child session still ends it, and the error reaches the program.
print(pcall(newsession, {context = "DOSUB", function() error("inside the child") end}))
print(select(2, pcall(newsession, {context = "DOSUB"})))
