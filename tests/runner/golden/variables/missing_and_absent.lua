-- The host's missing value and the absent argument are distinct, printable sentinels.
print("missing prints as", tostring(missing), "absent prints as", tostring(absent))
print("missing == missing:", missing == missing, "missing == nil:", missing == nil)
print("type:", type(missing))
print("arg[0]:", arg[0], "arguments:", #arg)
