// The per-session package context kept in session extension slot 37. Both deliverables read and
// write it with this one layout, so in a session where both run, the first creates it and the
// other uses it.
//
// Ownership: the context and every block it points to come from the session pool and end with
// it; the package never frees them. The random stream comes from the host's stream allocator.
#pragma once

#include <cstdint>

#include "frame/host_abi.h"
#include "frame/status_reporting.h"

namespace rng {
struct RandomStream;
}

namespace frame {

inline constexpr uint32_t kDelimiterTableSize = 256;
inline constexpr uint32_t kWorkBufferSize = 256;
// The characters marked 1 in the delimiter table; every other entry is 0.
inline constexpr char kDelimiterCharacters[] = ".<(+&!$*);^-/,%|";

struct PackageContext {
  rng::RandomStream* randomStream;  // the session's stream, seeded from "-rngseed"
  uint8_t* delimiterTable;          // 256 entries, 1 at each delimiter character
  int64_t yearCutoff;               // YEARCUTOFF as hostGetOption delivers it (8 bytes)
  uint8_t* workBuffer;              // 256 bytes, not initialised
  char shortName[8];                // blank-padded, from hostGetShortName
  uint16_t shortNameLength;         // trimmed length of shortName
  StatusBlock* statusBlock;         // null until the first call that reports needs it
};
static_assert(offsetof(PackageContext, randomStream) == 0);
static_assert(offsetof(PackageContext, delimiterTable) == 8);
static_assert(offsetof(PackageContext, yearCutoff) == 16);
static_assert(offsetof(PackageContext, workBuffer) == 24);
static_assert(offsetof(PackageContext, shortName) == 32);
static_assert(offsetof(PackageContext, shortNameLength) == 40);
static_assert(offsetof(PackageContext, statusBlock) == 48);
static_assert(sizeof(PackageContext) == 56);

// The context in slot 37 of `session`, or null when none was created yet.
PackageContext* packageContext(HostSession* session);

// Creates the context and stores it in slot 37 before filling it, so a context whose later steps
// fail stays visible (partly filled) and is never built twice. Returns 0, 0x80000803 when a block
// could not be allocated (the stream included), or the status of the YEARCUTOFF look-up.
StatusCode createPackageContext(HostSession* session);

// The value of startup option `name` (a leading "-" and blanks after it are ignored) in the
// host's option text: 0 when absent, 1 when present without "=value", else the number after "=".
// The last matching token wins. A non-zero result also makes the three option calls the host
// expects (update -1, set 28 to 1, update 0).
int32_t optionValue(HostSession* session, const char* name);

}  // namespace frame
