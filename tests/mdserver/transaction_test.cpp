// Repository handles and transactions served through the ABI, as the security functions call
// them: which texts give a handle, the transaction texts, the route checks, and that every end
// operation frees the handle it receives.
#include "interface_fixture.h"

namespace mdserver::testing {
namespace {

class TransactionTest : public InterfaceTest {
 protected:
  MetadataObject* repositoryHandle(const std::string& text) {
    MetadataObject* list = nullptr;
    EXPECT_EQ(resolveUri(md, text.data(), static_cast<int32_t>(text.size()), &list), kStatusOk)
        << text;
    return list;
  }
  std::string textOf(const TransactionHandle* handle) {
    return std::string(handle->text, static_cast<size_t>(handle->length));
  }
};

TEST_F(TransactionTest, RepositoryTextsResolveToHandlesAndObjectUrisStayAsTheyWere) {
  for (const char* text : {"Sales Project", "A0000002", "vqsobj:Repository\\A0000002",
                           "VQSOBJ:repository\\sales project"}) {
    MetadataObject* handle = repositoryHandle(text);
    ASSERT_NE(handle, nullptr) << text;
    EXPECT_EQ(identifiers(handle), std::vector<std::string>{"A0000002"}) << text;
    EXPECT_EQ(std::string(handle->type, handle->typeLength), "Repository");
    EXPECT_EQ(handle->next, nullptr);
    freeObjectList(md, handle);
  }
  StatusCode status = kStatusOk;
  EXPECT_TRUE(resolveIds("Nowhere", &status).empty());
  EXPECT_EQ(status, kStatusMalformedUri);
  EXPECT_TRUE(resolveIds("vqsobj:Repository\\Nowhere", &status).empty());
  EXPECT_NE(status, kStatusOk);
}

TEST_F(TransactionTest, BothRoutesNumberTransactionsAndCheckTheRepository) {
  TransactionHandle* first = nullptr;
  ASSERT_EQ(beginTransaction(md, "", 0, 7, &first), kStatusOk);
  EXPECT_EQ(textOf(first), "T1.A0000001");
  EXPECT_EQ(first->text[first->length], '\0');
  EXPECT_EQ(first->owner, md);
  EXPECT_EQ(first->attachment, nullptr);

  MetadataObject* archive = repositoryHandle("Archive");
  TransactionHandle* second = nullptr;
  ASSERT_EQ(repoBeginTransaction(archive, 0, &second), kStatusOk);
  EXPECT_EQ(textOf(second), "T2.A0000003");
  if (ci) {
    EXPECT_EQ(ci->transactions().openCount(), 2u);
  }

  // Ending on the wrong repository is refused, yet the handle is taken and freed.
  uint64_t blocks = blocksOutstanding(md);
  EXPECT_EQ(repoEndTransaction(archive, first, 0), kStatusUnknownTransaction);
  EXPECT_EQ(blocksOutstanding(md), blocks - 2);
  if (ci) {
    EXPECT_TRUE(ci->transactions().find("T1.A0000001")->open);
  }

  EXPECT_EQ(endTransaction(md, second, "Archive", 7, 2), kStatusOk);
  if (ci) {  // the server keeps the records of a session's transactions
    const TransactionRecord* record = ci->transactions().find("T2.A0000003");
    EXPECT_TRUE(record->abandoned());
    EXPECT_EQ(record->beginRoute, TransactionRoute::kRepositoryHandle);
    EXPECT_EQ(record->endRoute, TransactionRoute::kInterface);
  }

  TransactionHandle* unknown = nullptr;
  EXPECT_EQ(beginTransaction(md, "Nowhere", 7, 0, &unknown), kStatusUnknownRepository);
  EXPECT_EQ(unknown, nullptr);
  EXPECT_EQ(endTransaction(md, nullptr, "", 0, 0), kStatusInvalidArgument);
  freeObjectList(md, archive);
}

TEST_F(TransactionTest, FaultsAndExhaustedPoolsLeaveNoHandleBehind) {
  SKIP_THROUGH_THE_WIRE("faults are injected into the in-process interface and its pool");
  ASSERT_TRUE(ci->injectFault("endTransaction", {kStatusStorageFailure}));
  TransactionHandle* handle = nullptr;
  ASSERT_EQ(beginTransaction(md, "", 0, 0, &handle), kStatusOk);
  EXPECT_EQ(endTransaction(md, handle, "", 0, 0), kStatusStorageFailure);  // freed all the same
  EXPECT_EQ(callCount(md, "endTransaction"), 1u);

  for (uint64_t k = 1; k <= 2; ++k) {
    ci->pool().failAllocationAt(k);
    handle = nullptr;
    EXPECT_EQ(beginTransaction(md, "", 0, 0, &handle), kStatusNoMemory) << k;
    EXPECT_EQ(handle, nullptr);
  }
  // Failed begins leave no open transaction; the first one that succeeds is still usable.
  EXPECT_EQ(ci->transactions().openCount(), 1u);
  ASSERT_EQ(beginTransaction(md, "", 0, 0, &handle), kStatusOk);
  EXPECT_EQ(textOf(handle), "T4.A0000001");  // numbers of failed begins are not reused
  EXPECT_EQ(endTransaction(md, handle, "", 0, 0), kStatusOk);
  EXPECT_EQ(ci->transactions().openCount(), 1u);  // T1 was never ended (the fault)

  // Through an ordinary object, transactions are its repository's.
  MetadataObject* person = resolveOne("vqsobj:Person\\A0000001.PERSON01");
  ASSERT_EQ(beginTransaction(md, "", 0, 0, &handle), kStatusOk);
  EXPECT_EQ(repoEndTransaction(person, handle, 0), kStatusOk);
  TransactionHandle* viaObject = nullptr;
  ASSERT_EQ(repoBeginTransaction(person, 0, &viaObject), kStatusOk);
  EXPECT_EQ(textOf(viaObject), "T6.A0000001");
  EXPECT_EQ(repoEndTransaction(person, viaObject, 2), kStatusOk);
  freeObjectList(md, person);
}

}  // namespace
}  // namespace mdserver::testing
