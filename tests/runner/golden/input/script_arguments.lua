--! args: --stats
-- Options before the script belong to mdhost; this case has none after it.
print("script:", arg[0], "count:", #arg)
