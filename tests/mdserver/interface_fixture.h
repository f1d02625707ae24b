// A repository loaded with the sample seed and one interface over it, driven only through the
// ABI records and typed wrappers of mdaccess/md_abi.h, as the packages drive it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "mdaccess/md_abi.h"
#include "mdserver/base/status_codes.h"
#include "mdserver/interface/client_interface.h"
#include "mdserver/model/repository.h"
#include "postgres_cluster.h"
#include "wire_pass.h"

namespace mdserver::testing {

inline std::string samplePath() { return MDSERVER_EXAMPLES_DIR "/sample_repository.json"; }

inline std::string text(const char* p, int32_t n) { return p ? std::string(p, n) : std::string(); }

inline std::vector<std::string> identifiers(const MetadataObject* list) {
  std::vector<std::string> out;
  for (; list; list = list->next) out.push_back(text(list->identifier, list->identifierLength));
  return out;
}

// Sets (changeFlags 1: replaces) one attribute of an object through the interface.
inline StatusCode setTextAttribute(MetadataObject* object, const std::string& name,
                                   const std::string& value) {
  AttributeRecord record{};
  record.name = name.data();
  record.nameLength = static_cast<int32_t>(name.size());
  record.value = value.data();
  record.valueLength = static_cast<int32_t>(value.size());
  record.changeFlags = 1;
  return setAttribute(object, &record);
}

class InterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    repository = openScratchRepository(&error);
    ASSERT_TRUE(repository) << error;
    Outcome outcome = repository->importSeedFile(samplePath());
    ASSERT_TRUE(outcome.ok()) << outcome.message;
    // Through the wire the sample's administrator, as there is no local administrator there.
    md = openTestInterface(*repository, Credentials{"ada", "s3cret"});
    ASSERT_TRUE(md);
    ci = localInterface(md);
  }
  void TearDown() override {
    if (md) {
      // Every test leaves the pool balanced: nothing a caller owned was left behind.
      EXPECT_EQ(blocksOutstanding(md), 0u);
      EXPECT_EQ(invalidReleases(md), 0u);
      EXPECT_EQ(releaseInterface(md), kStatusOk);
    }
  }

  // Resolves and returns the identifiers, freeing the list again.
  std::vector<std::string> resolveIds(const std::string& uri, StatusCode* status = nullptr) {
    MetadataObject* list = nullptr;
    StatusCode s = resolveUri(md, uri.data(), static_cast<int32_t>(uri.size()), &list);
    if (status) *status = s;
    std::vector<std::string> ids = identifiers(list);
    if (list) freeObjectList(md, list);
    return ids;
  }

  MetadataObject* resolveOne(const std::string& uri) {
    MetadataObject* list = nullptr;
    EXPECT_EQ(resolveUri(md, uri.data(), static_cast<int32_t>(uri.size()), &list), kStatusOk)
        << uri << ": " << lastErrorText(md);
    return list;
  }

  std::unique_ptr<Repository> repository;
  MetadataInterface* md = nullptr;
  ClientInterface* ci = nullptr;  // the in-process interface behind md; null through the wire
};

}  // namespace mdserver::testing
