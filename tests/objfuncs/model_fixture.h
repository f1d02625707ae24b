// The repository fixture with a small table model added: a table with attributes, properties
// and associations (its columns, which name it back), and helpers shared by the attribute and
// association tests: calls by name, the pool of the current interface, and the fault loops.
#pragma once

#include <cmath>
#include <functional>
#include <initializer_list>
#include <string>

#include "tests/objfuncs/repository_fixture.h"

namespace testing_support {

inline constexpr char kModelSeed[] = R"json({
  "objects": [
    {"repository": "A5HOME01", "type": "Table", "id": "A5HOME01.TABL0002", "name": "Orders",
     "attributes": {"TableName": "ORDERS", "NumRows": "12", "TableType": "DATA"},
     "properties": [{"id": "A5HOME01.PROP0001", "name": "Schedule", "value": "nightly"},
                    {"id": "A5HOME01.PROP0002", "name": "Contact", "value": "ada"}],
     "associations": {"Columns": ["A5HOME01.COLM0001", "A5HOME01.COLM0002", "A5HOME01.COLM0003"],
                      "Owners": ["A5HOME01.PERS0009"]}},
    {"repository": "A5HOME01", "type": "Column", "id": "A5HOME01.COLM0001", "name": "ID",
     "associations": {"Table": ["A5HOME01.TABL0002"]}},
    {"repository": "A5HOME01", "type": "Column", "id": "A5HOME01.COLM0002", "name": "NAME",
     "associations": {"Table": ["A5HOME01.TABL0002"]}},
    {"repository": "A5HOME01", "type": "Column", "id": "A5HOME01.COLM0003", "name": "AMOUNT",
     "associations": {"Table": ["A5HOME01.TABL0002"]}},
    {"repository": "A5HOME01", "type": "Column", "id": "A5HOME01.COLM0004", "name": "SPARE"}
  ]
})json";

inline constexpr char kTable[] = "vqsobj:Table\\A5HOME01.TABL0002";
inline constexpr char kBare[] = "vqsobj:Person\\A5HOME01.PERS0001";  // no attributes, no links
inline constexpr char kNowhere[] = "vqsobj:Person?@Name='Nobody'";
inline std::string columnUri(int n) { return "vqsobj:Column\\A5HOME01.COLM000" + std::to_string(n); }

inline constexpr StatusCode kStorageFault = 0x801720E3u;
inline constexpr StatusCode kNoMatch = 0x801720DEu;

// A variable as the host language hands over an output: full width, blank-filled.
inline refhost::CharacterVariable blankVariable(int64_t capacity) {
  return refhost::CharacterVariable(capacity, std::string(static_cast<size_t>(capacity), ' '));
}

class ModelFixture : public RepositoryFixture {
 protected:
  using Argument = refhost::Argument;
  using CharacterVariable = refhost::CharacterVariable;

  void SetUp() override {
    RepositoryFixture::SetUp();
    mdserver::Outcome seeded = repository_->importSeedText(kModelSeed, "model seed");
    ASSERT_TRUE(seeded.ok()) << seeded.message;
    value("METADATA_VERSION");  // opens the connection, so its pool can be watched and faulted
    ASSERT_NE(current_, nullptr);
  }

  static Argument text(const std::string& t) { return Argument::literal(t); }
  static Argument number(double n) { return Argument::numeric(n); }
  static Argument out(CharacterVariable& v) { return Argument::of(v); }

  const mdserver::PoolCounts& pool() { return current_->pool().counts(); }
  void forgetAll() { value("METADATA_PURGE", {text(" ")}); }

  // The n-th object of an association as a short URI, or the function's value as text.
  std::string nth(const std::string& uri, const std::string& association, int n) {
    CharacterVariable target = blankVariable(48);
    double count = value("METADATA_GETNASS", {text(uri), text(association), number(n), out(target)});
    return count < 0 ? std::to_string(static_cast<int>(count)) : std::string(target.trimmed());
  }
  // Every object of an association, short URIs joined by blanks.
  std::string members(const std::string& uri, const std::string& association) {
    std::string all;
    CharacterVariable target = blankVariable(48);
    for (int n = 1;; ++n) {
      double count = value("METADATA_GETNASS", {text(uri), text(association), number(n), out(target)});
      if (count < n) break;
      all += (all.empty() ? "" : " ") + std::string(target.trimmed());
    }
    return all;
  }

  // Runs `run` with the k-th pool allocation failing, k = 1, 2, ..., until a run needs no
  // failing allocation. Each run starts from an empty resolution cache, so the allocations of
  // resolving argument 1 fail in turn too; after it and a forget-all, the pool must hold what it
  // held before, with no free of an unknown block. `run` checks the call's outcome.
  void eachAllocationFailing(const std::function<void(uint64_t k)>& run) {
    for (uint64_t k = 1; k < 300; ++k) {
      SCOPED_TRACE("allocation " + std::to_string(k) + " fails");
      forgetAll();
      const uint64_t blocks = pool().blocksOutstanding;
      const uint64_t failures = pool().failedAllocations;
      current_->pool().failAllocationAt(k);
      run(k);
      current_->pool().failAllocationAt(0);
      const bool failed = pool().failedAllocations != failures;
      forgetAll();
      EXPECT_EQ(pool().blocksOutstanding, blocks);
      EXPECT_EQ(pool().invalidReleases, 0u);
      if (!failed) return;
    }
    ADD_FAILURE() << "every run met a failing allocation";
  }

  // Runs `run` once for each operation with that operation failing (with and without its
  // result), from an empty cache; after each run and a forget-all the pool is balanced.
  void eachOperationFailing(std::initializer_list<const char*> operations,
                            const std::function<void(const std::string& operation)>& run) {
    for (const char* operation : operations) {
      for (bool withResult : {false, true}) {
        SCOPED_TRACE(std::string(operation) + (withResult ? " fails with its result" : " fails"));
        forgetAll();
        const uint64_t blocks = pool().blocksOutstanding;
        ASSERT_TRUE(current_->injectFault(
            operation, {kStorageFault, mdserver::FaultMode::kOnce, withResult}));
        run(operation);
        current_->clearFaults();
        forgetAll();
        EXPECT_EQ(pool().blocksOutstanding, blocks);
        EXPECT_EQ(pool().invalidReleases, 0u);
      }
    }
  }
};

}  // namespace testing_support
