--! stdin
-- A program piped into mdhost runs as the chunk "stdin".
print("from standard input", 1 + 2, type(metadata_version), type(METASEC_LDUMP))
error("an error names stdin and the line")
