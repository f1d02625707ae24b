// The random engine's entry points for its users (the package context and rngtool).
// The engine reaches the host only through the runtime table bound here.
#pragma once

#include <cstdint>

#include "frame/host_abi.h"

namespace rng {

struct RandomStream;  // layout in random/stream.h

// Binds the runtime table every engine operation uses (name-value store, message object, clock,
// processor information, transcoder, task record). Called once at module entry; stores only.
void bindRuntime(RuntimeTable* runtime);
RuntimeTable* boundRuntime();

// Allocates a zero-filled stream from `allocator` (tag 8198), stores seed and stream number and
// initialises it. Returns null only when the allocation fails; the initialisation status is kept
// in the stream.
RandomStream* createStream(HostAllocator* allocator, uint64_t seed, uint64_t streamNumber);

// Runs the initialisation again (selection when needed, seeding, keys); null → 0x803FC002.
StatusCode initialiseStream(RandomStream* stream);

}  // namespace rng
