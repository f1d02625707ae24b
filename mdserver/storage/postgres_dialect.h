// What the repository's SQL must look like for PostgreSQL. The repository writes one SQL text
// for both backends, in the common subset plus a few SQLite spellings that this file maps:
//   ?  ?N                 -> $N (a bare ? takes the number after the largest so far)
//   INSERT OR IGNORE ...  -> INSERT ... ON CONFLICT DO NOTHING
//   temp.TABLE            -> pg_temp.TABLE
//   COLLATE BINARY        -> COLLATE "C"
//   x GLOB pattern        -> x SIMILAR TO pattern (the same for the patterns the repository
//                            uses: letters, digits, '.' and [...] classes, no '*', '?', '_', '%')
// COLLATE NOCASE and instr() need no mapping: the schema defines a collation "nocase" and a
// function instr() (postgres_schema.cpp). Quoted text and identifiers are left as they are.
#pragma once

#include <string>
#include <string_view>

namespace mdserver {

std::string postgresSql(std::string_view sqliteSql);

}  // namespace mdserver
