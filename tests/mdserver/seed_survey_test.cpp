// The quick survey of a seed file against the full reader: whatever the quick one is sure of
// must be what the full one finds, and whatever the full one refuses the quick one must not be
// sure of. The same for the quick reader's entries handed out whole for the load: each entry's
// document, number kinds included, and where its parts are in the file.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "mdserver/model/seed_survey.h"

namespace mdserver::testing {
namespace {

using seed_json::Json;
using seed_json::Piece;
using seed_json::SeedSource;
using seed_json::SurveyedEntry;
using seed_json::SurveyResult;

// What a survey found, in a form two readers can be compared by.
struct Found {
  std::vector<std::string> members;  // name, position of the value and of its first inner value, dump
  std::vector<std::string> entries;  // id kind and text, repository, property ids
  bool operator==(const Found&) const = default;
};

std::string describe(const SurveyedEntry& e) {
  std::string out = std::to_string(static_cast<int>(e.idKind)) + ":" +
                    (e.idKind == SurveyedEntry::Id::kText ? e.id : "") + "|" +
                    (e.repositoryIsText ? e.repository : "-") + "|";
  for (size_t k = 0; k < e.properties; ++k) {
    out += e.propertyHasId[k] ? e.propertyIds[k] : "-";
    out += ",";
  }
  return out;
}

std::string describe(const std::string& name, const Piece& piece) {
  std::string inner = piece.value.is_object() && !piece.value.empty()
                          ? "/" + piece.value.begin().key()
                          : (piece.value.is_array() && !piece.value.empty() ? "/0" : "");
  return name + "@" + piece.locate("") + "@" + piece.locate(inner) + "=" + piece.value.dump();
}

// A document with the kind of every value (an unsigned, a signed and a floating number that
// compare equal are told apart) and its members in order.
std::string strict(const Json& value) {
  std::string out = std::to_string(static_cast<int>(value.type()));
  if (value.is_object()) {
    out += "{";
    for (auto it = value.begin(); it != value.end(); ++it) {
      out += Json(it.key()).dump() + ":" + strict(it.value()) + ",";
    }
    return out + "}";
  }
  if (value.is_array()) {
    out += "[";
    for (const Json& element : value) out += strict(element) + ",";
    return out + "]";
  }
  return out + value.dump();
}

// An entry as the load sees it: index, positions of the value and of its first inner value.
std::string describeEntry(uint64_t index, const Piece& piece) {
  return std::to_string(index) + ":" + describe("", piece) + "=" + strict(piece.value);
}

std::vector<std::string> fullEntries(SeedSource& source, bool* ok) {
  std::vector<std::string> out;
  seed_json::SyntaxFault fault;
  *ok = seed_json::readSeed(
      source, [](const std::string&, Piece&) {},
      [&](uint64_t index, Piece& piece) { out.push_back(describeEntry(index, piece)); }, &fault);
  return out;
}

SurveyResult quickEntries(SeedSource& source, std::vector<std::string>* out,
                          uint64_t* lastProgress = nullptr) {
  return seed_json::quickEntries(
      source, [&](uint64_t index, Piece& piece) { out->push_back(describeEntry(index, piece)); },
      [&](uint64_t offset) {
        if (lastProgress) *lastProgress = offset;
      });
}

// The full reader, and the full reader's document turned into what the quick one reports.
bool fullSurvey(SeedSource& source, Found* found) {
  seed_json::SyntaxFault fault;
  return seed_json::readSeed(
      source,
      [&](const std::string& name, Piece& piece) {
        found->members.push_back(describe(name, piece));
      },
      [&](uint64_t, Piece& piece) {
        const Json& entry = piece.value;
        if (!entry.is_object()) return;
        SurveyedEntry e;
        auto id = entry.find("id");
        if (id == entry.end()) {
          e.idKind = SurveyedEntry::Id::kAbsent;
        } else if (id->is_null()) {
          e.idKind = SurveyedEntry::Id::kNull;
        } else if (id->is_string()) {
          e.idKind = SurveyedEntry::Id::kText;
          e.id = id->get<std::string>();
        } else {
          e.idKind = SurveyedEntry::Id::kOther;
        }
        if (auto repository = entry.find("repository");
            repository != entry.end() && repository->is_string()) {
          e.repositoryIsText = true;
          e.repository = repository->get<std::string>();
        }
        if (auto properties = entry.find("properties");
            properties != entry.end() && properties->is_array()) {
          for (const Json& property : *properties) {
            if (!property.is_object()) continue;
            auto pid = property.find("id");
            const bool text = pid != property.end() && pid->is_string();
            e.propertyHasId.push_back(text ? 1 : 0);
            e.propertyIds.push_back(text ? pid->get<std::string>() : "");
            ++e.properties;
          }
        }
        found->entries.push_back(describe(e));
      },
      &fault);
}

SurveyResult quick(SeedSource& source, Found* found, uint64_t* lastProgress = nullptr) {
  return seed_json::quickSurvey(
      source,
      [&](const std::string& name, Piece& piece) {
        found->members.push_back(describe(name, piece));
      },
      [&](const SurveyedEntry& e) { found->entries.push_back(describe(e)); },
      [&](uint64_t offset) {
        if (lastProgress) *lastProgress = offset;
      });
}

// Compares the two readers on text; returns whether the quick one was sure.
bool agree(const std::string& text) {
  Found full, fast;
  SeedSource fullSource(text), fastSource(text);
  const bool fullOk = fullSurvey(fullSource, &full);
  const SurveyResult result = quick(fastSource, &fast);
  if (result == SurveyResult::kDone) {
    EXPECT_TRUE(fullOk) << "the quick survey was sure of text the full reader refuses:\n" << text;
    if (fullOk) {
      EXPECT_EQ(full, fast) << text;
    }
  }
  // The load's reading follows at least what the survey follows (it has no members to decide
  // on), and whatever it is sure of, it hands out as the full reader does.
  SeedSource fullEntrySource(text), fastEntrySource(text);
  bool entriesOk = false;
  const std::vector<std::string> expected = fullEntries(fullEntrySource, &entriesOk);
  std::vector<std::string> handedOut;
  const SurveyResult entriesResult = quickEntries(fastEntrySource, &handedOut);
  if (result == SurveyResult::kDone) {
    EXPECT_EQ(entriesResult, SurveyResult::kDone) << text;
  }
  if (entriesResult == SurveyResult::kDone) {
    EXPECT_TRUE(entriesOk) << "the load's reader was sure of text the full reader refuses:\n"
                           << text;
    if (entriesOk) {
      EXPECT_EQ(expected, handedOut) << text;
    }
  }
  return result == SurveyResult::kDone;
}

TEST(SeedSurvey, FindsWhatTheFullReaderFindsInPlainFiles) {
  const std::string plain[] = {
      R"({})",
      "  {\"objects\": []}\n",
      // Members on either side, scalars among them; lines counted over CR LF.
      "{\"server\": {\"version\": 9.4, \"paused\": 0},\r\n \"flag\": true,\n \"objects\": [\n"
      "  {\"repository\": \"R0000001\", \"id\": \"R0000001.A0000001\"}\n ],\n"
      " \"types\": [\"T\", \"U\"], \"none\": null, \"n\": -12.5}",
      // Properties before the identifier; an entry without one, one with null, one with a number;
      // entries and properties that are not objects; properties that are not a list.
      R"({"objects": [
        {"properties": [{"name": "x", "id": "R0000001.P0000001"}, 7, {"name": "y"},
                        {"id": null}, {"id": "R0000001.P0000002", "value": "v"}],
         "id": "R0000001.O0000001", "repository": "R0000001"},
        {"repository": "R0000001", "type": "T"},
        {"repository": "R0000002", "id": null},
        {"repository": "R0000001", "id": 17, "properties": {"id": "R0000001.X0000001"}},
        "a string", [1, 2], null, 3,
        {"id": "R0000001.O0000002", "repository": 5, "properties": []}
      ]})",
      // Escapes and text beyond ASCII where they do not decide anything; nesting below the limit.
      "{\"objects\": [{\"id\": \"R0000001.O0000003\", \"name\": \"a\\\"b\\\\c\\/\\n\\u00e9\\u4e2d\",\n"
      "  \"description\": \"\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80\", \"attributes\": {\"k\": "
      "[[[[{\"x\": [0, -0, 0.25, 123456789012345]}]]]]}}],\n"
      " \"security\": {\"logins\": [{\"user\": \"\xc3\xa9\", \"password\": \"p\\tq\"}]}}",
      // Escaped names where they decide nothing (attributes, associations, members).
      R"({"objects": [{"id": "R0000001.O0000004", "attributes": {"Caf\u00e9": "1", "a\"b": 2},
        "associations": {"N\u00e9xt": ["R0000001.O0000004"]}}],
        "security": {"n\u00e9": [{"\u0069d": 1}]}})",
      // The same member twice: both handed out, the later one counts for the caller.
      R"({"types": ["A"], "objects": [], "types": ["B"]})",
      // Every escape, text beyond ASCII at each length, numbers of each kind and at the edge of
      // what is followed, names given twice (the later value in the earlier place), escaped
      // names below the entry's own, entries of every kind.
      R"({"objects": [{"n": "\b\f\n\r\t\/\\\"\u0000\u001f\u007F\u0080\u07ff\u0800)"
      R"(\uFFFF\ud7ff\ue000",)"
      "\"u\": \"\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\",\n"
      R"( "k": [0, -0, 7, -7, 0.5, -0.0, 10.25, 999999999999999, -999999999999999,)"
      R"( 0.00000000000001, 1234567.89012345],)"
      R"( "d": 1, "e": {"d": 2, "\u00e9": 4, "\u00E9": 5, "\u00e9": 6}, "d": [3]},)"
      "\n"
      R"( {}, [], [{}], "\ud7ff", true, false, null, -12, 12, 1.5, ""]})",
  };
  for (const std::string& text : plain) EXPECT_TRUE(agree(text)) << text;
}

TEST(SeedSurvey, LeavesToTheFullReaderWhatItDoesNotFollow) {
  const std::string deep = "{\"objects\": [{\"attributes\": " + std::string(64, '[') +
                           std::string(64, ']') + "}]}";
  const std::string unsure[] = {
      "",
      "[]",
      "\xef\xbb\xbf{}",
      R"({} x)",
      R"({"objects": [{"id": "R0000001.O0000001", "id": "R0000001.O0000002"}]})",
      R"({"objects": [{"id": "R0000001.O000000\u0031"}]})",
      R"({"objects": [{"properties": [{"id": "a", "id": "b"}]}]})",
      R"({"objects": [{"\u0069d": "R0000001.O0000001"}]})",
      R"({"objects": [{"properties": [{"\u0069d": "R0000001.P0000001"}]}]})",
      R"({"objects": [{"repository": "R", "repository": "S"}]})",
      R"({"obj\u0065cts": []})",
      R"({"objects": [], "objects": []})",
      R"({"objects": {}})",
      R"({"objects": [{"name": "\ud83d\ude00"}]})",
      R"({"objects": [{"n": 1e400}]})",
      R"({"objects": [{"n": 1234567890123456789012}]})",
      R"({"objects": [{"n": 01}]})",
      R"({"objects": [{"n": -}]})",
      R"({"objects": [{"n": tru}]})",
      R"({"objects": [{"a": 1,}]})",
      R"({"objects": [{"a": 1}],})",
      "{\"objects\": [{\"name\": \"tab\there\"}]}",
      "{\"objects\": [{\"name\": \"\xc0\xaf\"}]}",
      "{\"objects\": [{\"name\": \"\xed\xa0\x80\"}]}",
      "{\"objects\": [{\"name\": \"cut",
      deep,
  };
  for (const std::string& text : unsure) EXPECT_FALSE(agree(text)) << text;
  // One level less than the limit is followed.
  EXPECT_TRUE(agree("{\"objects\": [{\"attributes\": " + std::string(61, '[') +
                    std::string(61, ']') + "}]}"));
}

// Random damage to a plain file: wherever the quick survey is still sure, the full reader must
// accept the text and find the same.
TEST(SeedSurvey, AgreesWithTheFullReaderOnDamagedFiles) {
  const std::string base =
      "{\"server\": {\"version\": 9.4}, \"types\": [\"T\"],\n \"objects\": [\n"
      "  {\"repository\": \"R0000001\", \"type\": \"T\", \"id\": \"R0000001.O0000001\", "
      "\"name\": \"n\\u00e9 1\", \"attributes\": {\"a\": 1, \"b\": [true, false, null]},\n"
      "   \"properties\": [{\"id\": \"R0000001.P0000001\", \"name\": \"p\", \"value\": \"v\"}],\n"
      "   \"associations\": {\"L\": [\"R0000001.O0000002\"]}},\n"
      "  {\"repository\": \"R0000001\", \"type\": \"T\", \"properties\": [{\"name\": \"q\"}]}\n"
      " ],\n \"security\": {\"permissions\": [\"Read\"]}}\n";
  const std::string alphabet = "{}[],:\" \n\\u0e1-.tfnlR\xc3\xa9";
  std::mt19937 random(29);
  int sure = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text = base;
    const int edits = 1 + static_cast<int>(random() % 3);
    for (int k = 0; k < edits; ++k) {
      const size_t at = random() % text.size();
      const char c = alphabet[random() % alphabet.size()];
      switch (random() % 3) {
        case 0: text[at] = c; break;
        case 1: text.insert(at, 1, c); break;
        default: text.erase(at, 1);
      }
    }
    if (agree(text)) ++sure;
    if (::testing::Test::HasFailure()) break;
  }
  // Damage inside a string value leaves many files valid: the comparison must have had work.
  EXPECT_GT(sure, 100);
}

// A file read in blocks: entries and members across the blocks' edges, progress to the end.
TEST(SeedSurvey, ReadsAFileAcrossItsBlocks) {
  std::string text = "{\"security\": {\"note\": \"" + std::string(70000, 'x') +
                     "\"},\n \"objects\": [\n";
  for (int i = 0; i < 3000; ++i) {
    char entry[200];
    std::snprintf(entry, sizeof entry,
                  "%s  {\"repository\": \"R0000001\", \"id\": \"R0000001.O%07d\", \"name\": "
                  "\"\xc3\xa9%d\", \"properties\": [{\"id\": \"R0000001.P%07d\"}]}\n",
                  i ? "," : "", i, i, i);
    text += entry;
  }
  text += " ], \"types\": [\"" + std::string(66000, 'y') + "\"]}\n";
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), file), text.size());
  Found full, fast;
  std::rewind(file);
  SeedSource fullSource(file, text.size());
  ASSERT_TRUE(fullSurvey(fullSource, &full));
  std::rewind(file);
  SeedSource fastSource(file, text.size());
  uint64_t lastProgress = 0;
  EXPECT_EQ(quick(fastSource, &fast, &lastProgress), SurveyResult::kDone);
  EXPECT_EQ(full, fast);
  EXPECT_EQ(fast.entries.size(), 3000u);
  EXPECT_GT(lastProgress, text.size() - 66100);

  // The load's reading: the same entries, in order, and progress to the end of the list.
  std::rewind(file);
  SeedSource fullEntrySource(file, text.size());
  bool ok = false;
  const std::vector<std::string> expected = fullEntries(fullEntrySource, &ok);
  ASSERT_TRUE(ok);
  std::rewind(file);
  SeedSource fastEntrySource(file, text.size());
  std::vector<std::string> handedOut;
  lastProgress = 0;
  EXPECT_EQ(quickEntries(fastEntrySource, &handedOut, &lastProgress), SurveyResult::kDone);
  EXPECT_EQ(expected, handedOut);
  EXPECT_GT(lastProgress, text.size() - 66100);

  // A caller that stops part way (an entry refused): the reader stops too, nothing more is
  // handed out, and the caller's exception comes back as it was thrown.
  std::rewind(file);
  SeedSource stoppedSource(file, text.size());
  uint64_t seen = 0;
  EXPECT_THROW(seed_json::quickEntries(
                   stoppedSource,
                   [&](uint64_t index, Piece&) {
                     EXPECT_EQ(index, seen);
                     ++seen;
                     if (index == 1000) throw std::runtime_error("refused");
                   },
                   [](uint64_t) {}),
               std::runtime_error);
  EXPECT_EQ(seen, 1001u);
  std::fclose(file);
}

}  // namespace
}  // namespace mdserver::testing
