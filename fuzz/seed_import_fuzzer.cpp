// Seed-file import into an in-memory repository. What must hold for every text:
// - a refused seed names the place: "fuzz.json:LINE:COLUMN: reason", the line within the text,
//   and never a storage error (the importer must catch what the database would refuse);
// - a refused seed stores nothing (the repository exports as it did before);
// - an accepted seed exports to a text that imports into a new repository and exports again
//   unchanged;
// - wherever the load's quick reader is sure of a text, it hands out the entries the full
//   parser does: the same documents, number kinds included, at the same places.
// Two repositories are made once and reused: after an import stored something, each is put back
// to the rows it started with, far cheaper than making a new one.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <sqlite3.h>

#include <mutex>

#include "fuzz/fuzz_check.h"
#include "mdserver/base/status_codes.h"
#include "mdserver/model/repository.h"
#include "mdserver/model/seed_survey.h"

namespace {

using mdserver::Outcome;
using mdserver::Repository;

constexpr std::string_view kSource = "fuzz.json";

std::unique_ptr<Repository> emptyRepository() {
  std::string error;
  auto repository = Repository::open("", &error);
  if (!repository) fuzzing::checkFailed(__FILE__, __LINE__, "open", error);
  return repository;
}

// Puts a repository's tables back to the rows they held when it was made: each table is
// emptied and refilled from a copy taken then (a temporary table of the same connection). The
// statements are prepared once; the schema never changes, so the repository's own prepared
// statements stay valid, which a restore of the whole database image would not allow.
class Restorer {
 public:
  explicit Restorer(Repository& repository) : repository_(repository) {
    std::lock_guard lock(repository.mutex());
    sqlite3* db = repository.rawHandle();
    std::vector<std::string> tables;
    sqlite3_stmt* list = prepare("SELECT name FROM main.sqlite_schema WHERE type = 'table'");
    while (sqlite3_step(list) == SQLITE_ROW) {
      tables.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(list, 0)));
    }
    sqlite3_finalize(list);
    std::string count = "SELECT 0";
    for (const std::string& table : tables) {
      const std::string quoted = "\"" + table + "\"";
      const std::string copy = "\"fuzz_copy_" + table + "\"";
      if (sqlite3_exec(db, ("CREATE TEMP TABLE " + copy + " AS SELECT * FROM main." + quoted).c_str(),
                       nullptr, nullptr, nullptr) != SQLITE_OK) {
        fuzzing::checkFailed(__FILE__, __LINE__, "copy of a table", sqlite3_errmsg(db));
      }
      restore_.push_back(prepare("DELETE FROM main." + quoted));
      restore_.push_back(prepare("INSERT INTO main." + quoted + " SELECT * FROM temp." + copy));
      count += " + (SELECT count(*) FROM main." + quoted + ")";
    }
    count_ = prepare(count);
    rowsAtStart_ = rows();
  }

  // Rows in all tables: a refused import must leave the number as it was.
  int64_t rows() {
    std::lock_guard lock(repository_.mutex());
    const int64_t n = sqlite3_step(count_) == SQLITE_ROW ? sqlite3_column_int64(count_, 0) : -1;
    sqlite3_reset(count_);
    return n;
  }
  int64_t rowsAtStart() const { return rowsAtStart_; }

  void restore() {
    std::lock_guard lock(repository_.mutex());
    sqlite3* db = repository_.rawHandle();
    // Tables refer to one another; the references hold again once every table is back.
    sqlite3_exec(db, "BEGIN; PRAGMA defer_foreign_keys = ON", nullptr, nullptr, nullptr);
    for (sqlite3_stmt* statement : restore_) {
      if (sqlite3_step(statement) != SQLITE_DONE) {
        fuzzing::checkFailed(__FILE__, __LINE__, "restore", sqlite3_errmsg(db));
      }
      sqlite3_reset(statement);
    }
    if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
      fuzzing::checkFailed(__FILE__, __LINE__, "restore", sqlite3_errmsg(db));
    }
  }

 private:
  sqlite3_stmt* prepare(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(repository_.rawHandle(), sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      fuzzing::checkFailed(__FILE__, __LINE__, "prepare", sql);
    }
    return statement;
  }

  Repository& repository_;
  std::vector<sqlite3_stmt*> restore_;
  sqlite3_stmt* count_ = nullptr;
  int64_t rowsAtStart_ = 0;
};

struct State {
  std::unique_ptr<Repository> repository = emptyRepository();
  std::unique_ptr<Repository> roundTrip = emptyRepository();
  std::string emptyExport = repository->exportSeedText();
  Restorer restorer{*repository};
  Restorer roundTripRestorer{*roundTrip};
};

State& state() {
  static State* s = new State;
  return *s;
}

// Reads "fuzz.json:LINE:COLUMN: reason"; false when the message does not have that form.
bool placeOf(const std::string& message, uint64_t& line, uint64_t& column) {
  if (message.rfind(std::string(kSource) + ":", 0) != 0) return false;
  const char* p = message.c_str() + kSource.size() + 1;
  char* end = nullptr;
  line = std::strtoull(p, &end, 10);
  if (end == p || *end != ':') return false;
  p = end + 1;
  column = std::strtoull(p, &end, 10);
  if (end == p || std::string_view(end).rfind(": ", 0) != 0) return false;
  return std::string_view(end).size() > 2;  // a reason follows
}

// Equal as documents and in the kind of every value (1, 1.0 and -0 are told apart).
bool sameDocument(const mdserver::seed_json::Json& a, const mdserver::seed_json::Json& b) {
  if (a.type() != b.type() || a.size() != b.size()) return false;
  if (a.is_object()) {
    for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
      if (x.key() != y.key() || !sameDocument(x.value(), y.value())) return false;
    }
    return true;
  }
  if (a.is_array()) {
    for (size_t i = 0; i < a.size(); ++i) {
      if (!sameDocument(a[i], b[i])) return false;
    }
    return true;
  }
  return a == b || (a.is_number_float() && a.dump() == b.dump());  // NaN never comes from text
}

void checkQuickEntries(std::string_view text) {
  using mdserver::seed_json::Piece;
  using mdserver::seed_json::SeedSource;
  struct Entry {
    uint64_t index;
    std::string place;
    mdserver::seed_json::Json value;
  };
  std::vector<Entry> full, quick;
  SeedSource fullSource(text), quickSource(text);
  mdserver::seed_json::SyntaxFault fault;
  const bool fullOk = mdserver::seed_json::readSeed(
      fullSource, [](const std::string&, Piece&) {},
      [&](uint64_t index, Piece& piece) {
        full.push_back({index, piece.locate(""), std::move(piece.value)});
      },
      &fault);
  const auto quickResult = mdserver::seed_json::quickEntries(
      quickSource,
      [&](uint64_t index, Piece& piece) {
        quick.push_back({index, piece.locate(""), std::move(piece.value)});
      },
      [](uint64_t) {});
  if (quickResult != mdserver::seed_json::SurveyResult::kDone) return;
  FUZZ_CHECK(fullOk, "the quick reader was sure of a text the full parser refuses: " +
                         fault.reason);
  FUZZ_CHECK(full.size() == quick.size(), "entries handed out: " + std::to_string(full.size()) +
                                              " by the full parser, " +
                                              std::to_string(quick.size()) + " by the quick one");
  for (size_t i = 0; i < full.size(); ++i) {
    FUZZ_CHECK(full[i].index == quick[i].index && full[i].place == quick[i].place &&
                   sameDocument(full[i].value, quick[i].value),
               "entry " + std::to_string(i) + ": " + full[i].place + " " + full[i].value.dump() +
                   " against " + quick[i].place + " " + quick[i].value.dump());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  State& s = state();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  checkQuickEntries(text);

  mdserver::SeedSummary summary;
  const Outcome outcome = s.repository->importSeedText(text, kSource, &summary, {});
  if (!outcome.ok()) {
    FUZZ_CHECK(outcome.status == mdserver::kStatusInvalidArgument,
               "status " + std::to_string(outcome.status) + ": " + outcome.message);
    uint64_t line = 0;
    uint64_t column = 0;
    FUZZ_CHECK(placeOf(outcome.message, line, column), "no place: " + outcome.message);
    const uint64_t lines = 1 + static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n'));
    FUZZ_CHECK(line >= 1 && line <= lines && column >= 1, outcome.message);
    FUZZ_CHECK(s.restorer.rows() == s.restorer.rowsAtStart(),
               "a refused seed left something stored: " + outcome.message);
    return 0;
  }

  const std::string exported = s.repository->exportSeedText();
  const Outcome reimported = s.roundTrip->importSeedText(exported, kSource);
  FUZZ_CHECK(reimported.ok(), "the export of an accepted seed is refused: " + reimported.message +
                                  "\n" + exported);
  FUZZ_CHECK(s.roundTrip->exportSeedText() == exported,
             "the export changed on the way back:\n" + exported);
  s.restorer.restore();
  s.roundTripRestorer.restore();
  FUZZ_CHECK(s.restorer.rows() == s.restorer.rowsAtStart() &&
                 s.roundTripRestorer.rows() == s.roundTripRestorer.rowsAtStart(),
             "not back to empty");
  return 0;
}
