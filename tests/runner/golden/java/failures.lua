-- What the java table says when something is wrong; each error names the call and the cause.
-- (the class path in the message depends on where the build is: it is left out here)
print((select(2, pcall(java.new, "x", "rux.NoSuchClass")):gsub("'[^']*'", "'...'")))
print(select(2, pcall(java.new, "x", "java.lang.Integer")))
print(select(2, pcall(java.call, "nobody", "toString")))
java.new("sb", "java.lang.StringBuilder")
print(select(2, pcall(java.call, "sb", "noSuchMethod")))
print(java.call("sb", "toString") == "")
print(metadata_passid("sb"))  -- no setCredential: 3
java.call("nobody", "toString")  -- not caught: the program stops
