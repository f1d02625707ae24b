// METASEC_BEGTRAN and METASEC_ENDTRAN through the reference host against the real repository:
// both routes, the numeric checks, the output that is too short or exactly long enough, the
// blank transaction text, server failures, and who frees each transaction handle.
#include <limits>

#include "security_fixture.h"

namespace {

using mdserver::TransactionRoute;
using testing_support::SecurityFixture;
using refhost::CharacterVariable;

class TransactionFunctionsTest : public SecurityFixture {};

TEST_F(TransactionFunctionsTest, BothRoutesBeginAndEndOnTheServerAndLeaveThePoolBalanced) {
  CharacterVariable text(40);
  ASSERT_EQ(begtran("", 5, text), 0);
  // The text keeps its own length: not widened to the variable's capacity.
  EXPECT_EQ(text.value(), "T1.A5HOME01");
  EXPECT_EQ(sysrc(), "0");
  EXPECT_EQ(sysmsg(), "");
  const mdserver::TransactionRecord* first = transaction("T1.A5HOME01");
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(first->open);
  EXPECT_EQ(first->beginFlags, 5);
  EXPECT_EQ(first->beginRoute, TransactionRoute::kInterface);
  ASSERT_EQ(endtran("", std::string(text.value()), 0), 0);
  EXPECT_FALSE(first->open);
  EXPECT_EQ(first->endRoute, TransactionRoute::kInterface);

  // The repository route: a repository name resolves to a handle whose slots serve the work.
  CharacterVariable work(40);
  ASSERT_EQ(begtran("Work", 0, work), 0);
  EXPECT_EQ(work.value(), "T2.A5WORK02");
  ASSERT_EQ(endtran("vqsobj:Repository\\A5WORK02", std::string(work.value()), 0), 0);
  const mdserver::TransactionRecord* second = transaction("T2.A5WORK02");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->beginRoute, TransactionRoute::kRepositoryHandle);
  EXPECT_EQ(second->endRoute, TransactionRoute::kRepositoryHandle);
  EXPECT_FALSE(second->open);
  EXPECT_EQ(calls("beginTransaction"), 1u);
  EXPECT_EQ(calls("repoBeginTransaction"), 1u);
  EXPECT_EQ(calls("endTransaction"), 1u);
  EXPECT_EQ(calls("repoEndTransaction"), 1u);

  // Once the connection and the repository handles are cached, a begin and an end on either
  // route leave exactly as many pool blocks as before: each handle was freed once.
  uint64_t before = 0;
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1) before = blocks();  // the first pass cached the resolution of "A5WORK02"
    for (const char* repository : {"", "Work", "A5WORK02"}) {
      CharacterVariable again(40);
      ASSERT_EQ(begtran(repository, 0, again), 0) << repository;
      ASSERT_EQ(endtran(repository, std::string(again.value()), 0), 0) << repository;
    }
  }
  EXPECT_EQ(blocks(), before);
  EXPECT_EQ(invalidReleases(), 0u);
}

TEST_F(TransactionFunctionsTest, InvalidFlagsReturnMinusFourAfterBlankingTheOutput) {
  host_->setMacroText("SYSRC", "17", session_);
  const double refused[] = {refhost::missingValue(), std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity(), 2147483647.0};
  for (double flags : refused) {
    CharacterVariable text(12, "stale text");
    EXPECT_EQ(begtran("", flags, text), -4) << flags;
    EXPECT_EQ(text.value(), "          ") << flags;
    EXPECT_EQ(endtran("", "T1.A5HOME01", flags), -4) << flags;
  }
  // Nothing else happened: no status reset, no connection.
  EXPECT_EQ(sysrc(), "17");
  EXPECT_EQ(host_->record().metadataInterfaceRequests, 0u);
}

TEST_F(TransactionFunctionsTest, TextLongerThanTheOutputIsEndedAtOnceOnTheSameRoute) {
  for (const char* repository : {"", "Work"}) {
    CharacterVariable text(10, "old");  // the texts here are 11 bytes long
    EXPECT_EQ(begtran(repository, 0, text), -2) << repository;
    EXPECT_EQ(sysrc(), "-2145967872");
    EXPECT_EQ(sysmsg(), refhost::ReferenceHost::messageText(0x8017210Bu));
    EXPECT_EQ(text.value(), "   ");
  }
  const mdserver::TransactionRecord* home = transaction("T1.A5HOME01");
  const mdserver::TransactionRecord* work = transaction("T2.A5WORK02");
  ASSERT_NE(home, nullptr);
  ASSERT_NE(work, nullptr);
  EXPECT_TRUE(home->abandoned());
  EXPECT_EQ(home->endRoute, TransactionRoute::kInterface);
  EXPECT_TRUE(work->abandoned());
  EXPECT_EQ(work->endRoute, TransactionRoute::kRepositoryHandle);
  EXPECT_EQ(current_->transactions().openCount(), 0u);
  EXPECT_EQ(invalidReleases(), 0u);
}

TEST_F(TransactionFunctionsTest, TextExactlyAsLongAsTheOutputFillsItWithoutPadding) {
  CharacterVariable text(11);
  ASSERT_EQ(begtran("", 0, text), 0);
  EXPECT_EQ(text.length(), 11);
  EXPECT_EQ(text.value(), "T1.A5HOME01");
  EXPECT_TRUE(transaction("T1.A5HOME01")->open);
}

TEST_F(TransactionFunctionsTest, BlankTransactionTextReportsWithoutResetting) {
  // A previous call leaves a failure in SYSMSG and SYSRC.
  CharacterVariable text(40);
  ASSERT_EQ(begtran("vqsobj:Person\\A5HOME01.NOSUCH01", 0, text), -3);
  ASSERT_EQ(sysrc(), sysrcOf(kStatusNoMatch));
  uint64_t connections = host_->record().metadataInterfaceRequests;

  EXPECT_EQ(endtran("", "    ", 0), -5);
  EXPECT_EQ(sysrc(), sysrcOf(0x8017210Cu));
  EXPECT_EQ(sysmsg(), refhost::ReferenceHost::messageText(0x8017210Cu));
  EXPECT_EQ(calls("endTransaction"), 0u);
  EXPECT_EQ(host_->record().metadataInterfaceRequests, connections);
}

TEST_F(TransactionFunctionsTest, EndFlagIsTruncatedTowardZero) {
  const std::pair<double, int32_t> cases[] = {{1.5, 1}, {-0.5, 0}, {2.9, 2}, {-3.7, -3}};
  for (auto [given, passed] : cases) {
    CharacterVariable text(40);
    ASSERT_EQ(begtran("", 0, text), 0);
    ASSERT_EQ(endtran("", std::string(text.value()), given), 0) << given;
    const mdserver::TransactionRecord* record = transaction(std::string(text.value()));
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->endFlag, passed) << given;
  }
}

TEST_F(TransactionFunctionsTest, ServerFailuresAreTheResultWhileSysmsgAndSysrcStayReset) {
  CharacterVariable warm(40);
  ASSERT_EQ(begtran("", 0, warm), 0);  // connects; T1 stays open
  const StatusCode failure = mdserver::kStatusStorageFailure;
  for (const char* operation : {"beginTransaction", "repoBeginTransaction"}) {
    for (bool withResult : {false, true}) {
      uint64_t before = blocks();
      ASSERT_TRUE(current_->injectFault(operation, {failure, mdserver::FaultMode::kOnce, withResult}));
      CharacterVariable text(40, "old");
      EXPECT_EQ(begtran(operation[0] == 'r' ? "Work" : "", 0, text), exact(failure)) << operation;
      EXPECT_EQ(sysmsg(), "");
      EXPECT_EQ(sysrc(), "0");
      EXPECT_EQ(host_->record().reportedStatuses.back(), failure);
      EXPECT_EQ(text.value(), "   ");
      // A handle that came back with the failure was not left in the pool. (The repository
      // handle of "Work" is cached by the first of these calls: it is counted only once.)
      if (operation[0] != 'r' || withResult) {
        EXPECT_EQ(blocks(), before) << operation;
      }
    }
  }

  for (const char* operation : {"endTransaction", "repoEndTransaction"}) {
    CharacterVariable text(40);
    const char* repository = operation[0] == 'r' ? "Work" : "";
    ASSERT_EQ(begtran(repository, 0, text), 0);
    uint64_t before = blocks();
    ASSERT_TRUE(current_->injectFault(operation, {failure, mdserver::FaultMode::kOnce, false}));
    EXPECT_EQ(endtran(repository, std::string(text.value()), 0), exact(failure)) << operation;
    EXPECT_EQ(sysmsg(), "");
    EXPECT_EQ(sysrc(), "0");
    EXPECT_EQ(host_->record().reportedStatuses.back(), failure);
    // The end operation freed the handle it received even though it failed.
    EXPECT_EQ(blocks(), before) << operation;
    EXPECT_TRUE(transaction(std::string(text.value()))->open);
  }
  EXPECT_EQ(invalidReleases(), 0u);
}

TEST_F(TransactionFunctionsTest, UnknownOrEndedTransactionsAreRefusedByTheServer) {
  CharacterVariable text(40);
  ASSERT_EQ(begtran("", 0, text), 0);
  std::string name(text.value());
  const double unknown = exact(mdserver::kStatusUnknownTransaction);
  EXPECT_EQ(endtran("Work", name, 0), unknown);  // another repository's handle
  EXPECT_EQ(endtran("", "T9.A5HOME01", 0), unknown);
  EXPECT_EQ(endtran("", name, 0), 0);
  EXPECT_EQ(endtran("", name, 0), unknown);  // already ended
  // The transaction text is passed untrimmed, as the program holds it.
  ASSERT_EQ(begtran("", 0, text), 0);
  EXPECT_EQ(endtran("", std::string(text.value()) + "  ", 0), unknown);
  EXPECT_EQ(sysrc(), "0");
  EXPECT_EQ(invalidReleases(), 0u);
}

TEST_F(TransactionFunctionsTest, UnresolvedRepositoryGivesMinusThreeAndKeepsNoHandle) {
  CharacterVariable text(40);
  ASSERT_EQ(begtran("", 0, text), 0);
  const std::string name(text.value());
  uint64_t before = blocks();
  EXPECT_EQ(endtran("Nowhere", name, 0), -3);
  EXPECT_EQ(sysrc(), sysrcOf(mdserver::kStatusMalformedUri));
  // The handle ENDTRAN built for the unresolved repository went back to the pool.
  EXPECT_EQ(blocks(), before);
  CharacterVariable unused(40);
  EXPECT_EQ(begtran("vqsobj:Person\\A5HOME01.NOSUCH01", 0, unused), -3);
  EXPECT_EQ(sysrc(), sysrcOf(kStatusNoMatch));
  // Through an ordinary object the transaction functions act on the object's repository.
  EXPECT_EQ(endtran("vqsobj:Person\\A5HOME01.PERS0001", name, 0), 0);
  EXPECT_FALSE(transaction(name)->open);
  EXPECT_EQ(begtran("vqsobj:Person\\A5HOME01.PERS0001", 0, unused), 0);
  EXPECT_EQ(transaction(std::string(unused.value()))->repositoryId, "A5HOME01");
  EXPECT_EQ(invalidReleases(), 0u);
}

TEST_F(TransactionFunctionsTest, HandleThatCannotBeBuiltIsPassedAsNull) {
  CharacterVariable text(40);
  ASSERT_EQ(begtran("", 0, text), 0);
  uint64_t before = blocks();
  current_->pool().failAllocationAt(1);  // the handle record
  EXPECT_EQ(endtran("", std::string(text.value()), 0), exact(mdserver::kStatusInvalidArgument));
  current_->pool().failAllocationAt(2);  // the copy of the text: the record is given back
  EXPECT_EQ(endtran("", std::string(text.value()), 0), exact(mdserver::kStatusInvalidArgument));
  EXPECT_EQ(blocks(), before);
  EXPECT_TRUE(transaction(std::string(text.value()))->open);
}

}  // namespace
