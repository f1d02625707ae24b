// The pool's table of live blocks against a plain map, over long runs of mixed operations: the
// removal by shifting back is where an open-addressing table goes wrong (an entry left behind a
// hole is no longer found), and only runs with many collisions and wrap-arounds reach it.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "mdserver/interface/block_table.h"
#include "wire_pass.h"

namespace {

using mdserver::BlockTable;

// Addresses as the allocator gives them: 16-byte aligned, often close together.
void* address(uint64_t n) { return reinterpret_cast<void*>(0x100000 + n * 16); }

TEST(BlockTable, AgreesWithAMapOverMixedInsertsAndErasures) {
  SKIP_THROUGH_THE_WIRE("never goes through an interface");
  for (uint32_t seed : {1u, 2u, 3u}) {
    std::mt19937_64 random(seed);
    BlockTable table;
    std::map<void*, uint64_t> model;
    // A small key range makes the same blocks come and go, as a pool's do.
    std::uniform_int_distribution<uint64_t> key(0, 5000);
    for (int step = 0; step < 200000; ++step) {
      void* block = address(key(random));
      const bool recorded = model.count(block) != 0;
      const bool insert = random() % 3 != 0 || !recorded;
      if (insert && !recorded) {
        ASSERT_TRUE(table.insert(block, step));
        model[block] = static_cast<uint64_t>(step);
      } else if (!insert) {
        // Every other erasure asks for the size the block was recorded with.
        uint64_t size = 0;
        ASSERT_TRUE(step % 2 == 0 ? table.erase(block) : table.erase(block, &size));
        if (step % 2 != 0) {
          ASSERT_EQ(size, model[block]);
        }
        model.erase(block);
      }
      ASSERT_EQ(table.size(), model.size());
    }
    for (uint64_t n = 0; n <= 5000; ++n) {
      uint64_t size = 0;
      const auto found = model.find(address(n));
      ASSERT_EQ(table.find(address(n), &size), found != model.end()) << "block " << n;
      if (found != model.end()) {
        EXPECT_EQ(size, found->second);
      }
    }
    size_t visited = 0;
    table.forEach([&](void* block, uint64_t size) {
      ++visited;
      ASSERT_EQ(model.at(block), size);
    });
    EXPECT_EQ(visited, model.size());
  }
}

TEST(BlockTable, UnknownAndNullBlocksAreNotFoundAndNotErased) {
  SKIP_THROUGH_THE_WIRE("never goes through an interface");
  BlockTable table;
  EXPECT_FALSE(table.find(address(1), nullptr));
  EXPECT_FALSE(table.erase(address(1)));
  ASSERT_TRUE(table.insert(address(1), 8));
  EXPECT_FALSE(table.find(nullptr, nullptr));
  EXPECT_FALSE(table.erase(nullptr));
  EXPECT_FALSE(table.erase(address(2)));
  EXPECT_TRUE(table.erase(address(1)));
  EXPECT_FALSE(table.erase(address(1))) << "a second erasure is a double free";
  EXPECT_EQ(table.size(), 0u);
}

}  // namespace
