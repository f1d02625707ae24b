// The registration table of secfuncs: 14 function descriptors in registration order, their
// callbacks and the module record. Every callback receives a pointer to a numeric result.
#include "frame/package_definition.h"
#include "secfuncs/functions.h"

namespace frame {
namespace {

using frame::argWord;
constexpr uint32_t I = kArgCharacterInput, O = kArgCharacterOutput, N = kArgNumericInput;

constexpr FunctionDescriptor row(const char* name, uint16_t minArgs, uint16_t maxArgs,
                                 uint32_t word) {
  FunctionDescriptor d{};
  for (int i = 0; name[i] != '\0' && i < 23; ++i) d.name[i] = name[i];
  d.minArgs = minArgs;
  d.maxArgs = maxArgs;
  d.resultKind = kResultKindNumeric;
  d.callWord = 0;
  d.argWord = word;
  return d;
}

static_assert(argWord({I, I, N, O, O, N, I, I}) == 0x48EC52);
static_assert(argWord({I, I, N, O, O, O, N}) == 0x76C52);
static_assert(argWord({I, I, N, O, O, O, O, O, N, I}) == 0x11DB6C52);
static_assert(argWord({I, I, I, I, I, I, I, N}) == 0x292492);
static_assert(argWord({I, I, I, N}) == 0x292);
static_assert(argWord({I, I, I, I}) == 0x492);
static_assert(argWord({I, I, N, O, I}) == 0x2C52);
static_assert(argWord({I, I, I, I, I, I, I, I, I, I}) == 0x12492492);
static_assert(argWord({I, I}) == 0x12);
static_assert(argWord({I, I, N, I, I, I}) == 0x12452);
static_assert(argWord({O, N, I}) == 0x8E);
static_assert(argWord({I, I, N}) == 0x52);

constexpr FunctionDescriptor kDescriptors[] = {
    row("METASEC_GETNID", 5, 8, 0x48EC52),
    row("METASEC_GETNACT", 6, 7, 0x76C52),
    row("METASEC_GETNAUTH", 8, 10, 0x11DB6C52),
    row("METASEC_SETAUTH", 7, 8, 0x292492),
    row("METASEC_REMACT", 3, 4, 0x292),
    row("METASEC_APPLYACT", 2, 4, 0x292),
    row("METASEC_SETACTA", 4, 4, 0x492),
    row("METASEC_GETACTA", 4, 4, 0x492),
    row("METASEC_GETNACTA", 5, 5, 0x2C52),
    row("METASEC_NEWACT", 3, kNoUpperLimit, 0x12492492),
    row("METASEC_DELACT", 2, 2, 0x12),
    row("METASEC_LDUMP", 6, 6, 0x12452),
    row("METASEC_BEGTRAN", 3, 3, 0x8E),
    row("METASEC_ENDTRAN", 3, 3, 0x52),
};
constexpr int32_t kCount = sizeof(kDescriptors) / sizeof(kDescriptors[0]);
static_assert(kCount == 14);

const AnyCallback kCallbacks[] = {
    anyCallback(&secfuncs::metasecGetnid),   anyCallback(&secfuncs::metasecGetnact),
    anyCallback(&secfuncs::metasecGetnauth), anyCallback(&secfuncs::metasecSetauth),
    anyCallback(&secfuncs::metasecRemact),   anyCallback(&secfuncs::metasecApplyact),
    anyCallback(&secfuncs::metasecSetacta),  anyCallback(&secfuncs::metasecGetacta),
    anyCallback(&secfuncs::metasecGetnacta), anyCallback(&secfuncs::metasecNewact),
    anyCallback(&secfuncs::metasecDelact),   anyCallback(&secfuncs::metasecLdump),
    anyCallback(&secfuncs::metasecBegtran),  anyCallback(&secfuncs::metasecEndtran),
};
static_assert(sizeof(kCallbacks) / sizeof(kCallbacks[0]) == kCount);

}  // namespace

const ModuleRecord kModuleRecord = makeModuleRecord("secfuncs", 0x22518554);
const PackageDefinition kPackage = {&kModuleRecord, kDescriptors, kCallbacks, kCount};

}  // namespace frame
