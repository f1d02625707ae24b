// Object URIs and queries, compiled and resolved against the sample repository (in memory,
// loaded once; resolution only reads). What must hold for every text:
// - the compiler and the repository agree: a text the compiler refuses is "malformed" with a
//   position inside the text, and a text it accepts runs (no storage error: the compiler's
//   limits keep every accepted text within SQLite's);
// - a result is a list in identifier order without repeats, and "no match" is an empty one;
// - resolving in each repository in turn finds exactly the objects found in all of them.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "mdserver/base/status_codes.h"
#include "mdserver/model/repository.h"
#include "mdserver/query/object_uri.h"

namespace {

using mdserver::ObjectRow;
using mdserver::Outcome;

// Far below the repository's default, so that a costly text ends quickly and the fuzzer keeps
// its pace; the refusal path is exercised all the more.
constexpr int64_t kFuzzWorkLimit = 2'000'000;

struct Sample {
  std::unique_ptr<mdserver::Repository> repository;
  std::vector<int64_t> repositoryKeys;
};

Sample& sample() {
  static Sample* loaded = [] {
    auto* s = new Sample;
    std::string error;
    s->repository = mdserver::Repository::open("", &error);
    if (!s->repository) fuzzing::checkFailed(__FILE__, __LINE__, "open", error);
    const Outcome imported =
        s->repository->importSeedFile(RUX_SOURCE_DIR "/examples/sample_repository.json");
    if (!imported.ok()) fuzzing::checkFailed(__FILE__, __LINE__, "sample import", imported.message);
    for (const auto& info : s->repository->repositories()) s->repositoryKeys.push_back(info.key);
    s->repository->setQueryWorkLimit(kFuzzWorkLimit);
    return s;
  }();
  return *loaded;
}

std::string describe(const Outcome& outcome) {
  return "status " + std::to_string(outcome.status) + ": " + outcome.message;
}

// The position N of "malformed object URI at position N: ...", or 0 when the text is not so.
size_t reportedPosition(const std::string& message) {
  constexpr std::string_view kLead = "malformed object URI at position ";
  if (message.rfind(kLead, 0) != 0) return 0;
  return std::strtoull(message.c_str() + kLead.size(), nullptr, 10);
}

void checkResult(const Outcome& outcome, const std::vector<ObjectRow>& rows) {
  if (outcome.status == kStatusNoMatch) {
    FUZZ_CHECK(rows.empty(), "no match with " + std::to_string(rows.size()) + " rows");
    return;
  }
  if (outcome.status == mdserver::kStatusQueryTooCostly) return;
  FUZZ_CHECK(outcome.ok(), "an accepted text failed: " + describe(outcome));
  FUZZ_CHECK(!rows.empty(), "success without a row");
  for (size_t i = 1; i < rows.size(); ++i) {
    FUZZ_CHECK(rows[i - 1].id < rows[i].id, "out of order: " + rows[i - 1].id + ", " + rows[i].id);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Sample& s = sample();
  const std::string_view uri(reinterpret_cast<const char*>(data), size);

  mdserver::CompiledUri compiled;
  mdserver::UriError error;
  const bool accepted = mdserver::compileObjectUri(uri, compiled, error);
  // The short way for look-ups by name must give what the full compiler gives.
  mdserver::CompiledUri full;
  mdserver::UriError fullError;
  FUZZ_CHECK(mdserver::compileObjectUriFully(uri, full, fullError) == accepted,
             "the short way and the full compiler disagree on accepting the text");
  FUZZ_CHECK(full.sql == compiled.sql && full.parameters == compiled.parameters &&
                 full.paths.size() == compiled.paths.size() && fullError.text() == error.text(),
             "the short way and the full compiler compile the text differently");

  std::vector<ObjectRow> all;
  const Outcome outcome = s.repository->resolve(uri, 0, all);
  if (!accepted) {
    FUZZ_CHECK(outcome.status == mdserver::kStatusMalformedUri, describe(outcome));
    FUZZ_CHECK(outcome.message == error.text(), outcome.message + " / " + error.text());
    const size_t position = reportedPosition(outcome.message);
    FUZZ_CHECK(position >= 1 && position <= size + 1, outcome.message);
    return 0;
  }
  checkResult(outcome, all);
  if (outcome.status == mdserver::kStatusQueryTooCostly) return 0;

  size_t found = 0;
  for (int64_t key : s.repositoryKeys) {
    std::vector<ObjectRow> rows;
    const Outcome within = s.repository->resolve(uri, key, rows);
    checkResult(within, rows);
    if (within.status == mdserver::kStatusQueryTooCostly) return 0;
    for (const ObjectRow& row : rows) {
      bool inAll = false;
      for (const ObjectRow& any : all) inAll = inAll || any.id == row.id;
      FUZZ_CHECK(inAll, row.id + " found in one repository but not in all");
    }
    found += rows.size();
  }
  FUZZ_CHECK(found == all.size(), "repositories one by one found " + std::to_string(found) +
                                      ", all at once " + std::to_string(all.size()));
  return 0;
}
