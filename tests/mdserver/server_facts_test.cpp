// The server's version and paused state are kept in memory between changes: every way they
// change must show at once, in memory and in a file that another connection changes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "mdserver/model/repository.h"
#include "wire_pass.h"

namespace {

using mdserver::Repository;

using ServerFacts = ::mdserver::testing::RepositoryInternalsTest;

TEST_F(ServerFacts, EveryChangeShowsAtOnceInMemory) {
  auto repository = Repository::open("");
  ASSERT_TRUE(repository);
  EXPECT_EQ(repository->paused(), 0);
  EXPECT_DOUBLE_EQ(repository->serverVersion(), 0.0);
  ASSERT_TRUE(repository->setPaused(1).ok());
  EXPECT_EQ(repository->paused(), 1);
  ASSERT_TRUE(repository->setServerVersion(9.25).ok());
  EXPECT_DOUBLE_EQ(repository->serverVersion(), 9.25);
  EXPECT_EQ(repository->paused(), 1);
  // Asked many times without a change: the same answers.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(repository->paused(), 1);
  ASSERT_TRUE(repository->setPaused(0).ok());
  EXPECT_EQ(repository->paused(), 0);
  // A seed import writes them without the setters.
  ASSERT_TRUE(repository
                  ->importSeedText(R"({"server": {"version": 9.4, "paused": 2}})", "seed")
                  .ok());
  EXPECT_EQ(repository->paused(), 2);
  EXPECT_DOUBLE_EQ(repository->serverVersion(), 9.4);
}

TEST_F(ServerFacts, AFileChangedByAnotherConnectionShowsTheChange) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("server_facts_" + std::to_string(::getpid()) + ".db"))
                               .string();
  {
    auto reader = Repository::open(path);
    auto writer = Repository::open(path);
    ASSERT_TRUE(reader && writer);
    EXPECT_EQ(reader->paused(), 0);
    ASSERT_TRUE(writer->setPaused(1).ok());
    EXPECT_EQ(reader->paused(), 1);
    ASSERT_TRUE(writer->setServerVersion(9.5).ok());
    EXPECT_DOUBLE_EQ(reader->serverVersion(), 9.5);
  }
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    std::filesystem::remove(path + suffix);
  }
}

}  // namespace
