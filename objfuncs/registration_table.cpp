// The registration table of objfuncs: 23 function descriptors in registration order and their
// callbacks, plus the module record. The argument words are spelled out as the host expects them
// and checked against the argument kinds they encode.
#include "frame/package_definition.h"
#include "objfuncs/functions.h"

namespace frame {
namespace {

using frame::argWord;
constexpr uint32_t I = kArgCharacterInput, O = kArgCharacterOutput, N = kArgNumericInput;

constexpr FunctionDescriptor row(const char* name, uint16_t minArgs, uint16_t maxArgs,
                                 uint32_t callWord, uint32_t word) {
  FunctionDescriptor d{};
  for (int i = 0; name[i] != '\0' && i < 23; ++i) d.name[i] = name[i];
  d.minArgs = minArgs;
  d.maxArgs = maxArgs;
  d.resultKind = kResultKindNumeric;
  d.callWord = callWord;
  d.argWord = word;
  return d;
}

static_assert(argWord({I, O, O}) == 0x1B2);
static_assert(argWord({I, I, O}) == 0x192);
static_assert(argWord({I, I, I}) == 0x92);
static_assert(argWord({I, I, O, O}) == 0xD92);
static_assert(argWord({I, I, I, O}) == 0xC92);
static_assert(argWord({I, N, O, O}) == 0xD8A);
static_assert(argWord({I, I, N, O}) == 0xC52);
static_assert(argWord({I, N, O}) == 0x18A);
static_assert(argWord({I, I, I, I, I, I, I, I, I, I}) == 0x12492492);
static_assert(argWord({I, O, I, I, I, I}) == 0x124B2);
static_assert(argWord({N, O}) == 0x31);
static_assert(argWord({I, I}) == 0x12);
static_assert(argWord({I, I, I, I, I}) == 0x2492);
static_assert(argWord({I, O, O, O, O, O}) == 0x36DB2);

constexpr FunctionDescriptor kDescriptors[] = {
    row("METADATA_RESOLVE", 3, 3, 0, 0x1B2),
    row("METADATA_GETATTR", 3, 3, 0, 0x192),
    row("METADATA_SETATTR", 3, 3, 0, 0x92),
    row("METADATA_GETPROP", 3, 4, 0, 0xD92),
    row("METADATA_SETPROP", 3, 4, 0, 0xC92),
    row("METADATA_DELOBJ", 1, 1, 0, 0x2),
    row("METADATA_GETNPRP", 4, 4, 0, 0xD8A),
    row("METADATA_GETNATR", 4, 4, 0, 0xD8A),
    row("METADATA_GETNASS", 4, 4, 0, 0xC52),
    row("METADATA_GETNOBJ", 3, 3, 0, 0x18A),
    row("METADATA_SETASSN", 4, kNoUpperLimit, 0, 0x12492492),
    row("METADATA_NEWOBJ", 2, 6, 0, 0x124B2),
    row("METADATA_PURGE", 0, 1, 0, 0x2),
    row("METADATA_GETNASL", 3, 3, 0, 0x18A),
    row("METADATA_GETNTYP", 2, 2, 0, 0x31),
    row("METADATA_VERSION", 0, 0, 0, 0),
    row("METADATA_PAUSED", 0, 0, 0, 0),
    row("METADATA_DELASSN", 2, 2, 0, 0x12),
    row("METADATA_GETNASN", 4, 4, 0, 0xC52),
    row("METADATA_PATHOBJ", 5, 5, 0, 0x2492),
    row("METADATA_APPPROP", 2, 2, 0xA, 0x12),
    row("METADATA_GETURI", 2, 6, 0x8200, 0x36DB2),
    row("METADATA_PASSID", 1, 2, 0x1, 0x12),
};
constexpr int32_t kCount = sizeof(kDescriptors) / sizeof(kDescriptors[0]);
static_assert(kCount == 23);

const AnyCallback kCallbacks[] = {
    anyCallback(&objfuncs::metadataResolve), anyCallback(&objfuncs::metadataGetattr),
    anyCallback(&objfuncs::metadataSetattr), anyCallback(&objfuncs::metadataGetprop),
    anyCallback(&objfuncs::metadataSetprop), anyCallback(&objfuncs::metadataDelobj),
    anyCallback(&objfuncs::metadataGetnprp), anyCallback(&objfuncs::metadataGetnatr),
    anyCallback(&objfuncs::metadataGetnass), anyCallback(&objfuncs::metadataGetnobj),
    anyCallback(&objfuncs::metadataSetassn), anyCallback(&objfuncs::metadataNewobj),
    anyCallback(&objfuncs::metadataPurge),   anyCallback(&objfuncs::metadataGetnasl),
    anyCallback(&objfuncs::metadataGetntyp), anyCallback(&objfuncs::metadataVersion),
    anyCallback(&objfuncs::metadataPaused),  anyCallback(&objfuncs::metadataDelassn),
    anyCallback(&objfuncs::metadataGetnass),  // METADATA_GETNASN: the same callback
    anyCallback(&objfuncs::metadataPathobj), anyCallback(&objfuncs::metadataAppprop),
    anyCallback(&objfuncs::metadataGeturi),  anyCallback(&objfuncs::metadataPassid),
};
static_assert(sizeof(kCallbacks) / sizeof(kCallbacks[0]) == kCount);

}  // namespace

const ModuleRecord kModuleRecord = makeModuleRecord("objfuncs", 0x2013AD67);
const PackageDefinition kPackage = {&kModuleRecord, kDescriptors, kCallbacks, kCount};

}  // namespace frame
