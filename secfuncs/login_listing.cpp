// METASEC_LDUMP: a listing of logins written to the host's log, passwords masked.
//
//   LDUMP(text 1, text 2, option, flag, flag, flag)
//       0 (also for an empty list, which writes nothing); -999 when the listing failed (the
//       failure goes to the host's status report only); -1 when no metadata client interface
//       could be obtained (checked here before the interface is used).
// Options: the number truncated to 32 bits (not validated); each flag is 1 when its first
// character is y or Y. The interface's listLogins says what the texts, option and flags select.
#include "frame/call_frame.h"
#include "frame/host_services.h"
#include "frame/module_globals.h"
#include "secfuncs/functions.h"
#include "secfuncs/security_call.h"

namespace secfuncs {
namespace {

constexpr double kValueListingFailed = -999;
constexpr OpeningRules kLdumpRules{0, NotStartedAt::kFirst, false, kValueListingFailed};
constexpr const char kMask[] = "********";
constexpr int kMaskWidth = 9;

int32_t yesFlag(CallFrame* frame, int argument) {
  return static_cast<char>(firstCharacter(frame, argument) & ~0x20) == 'Y' ? 1 : 0;
}

const char* textOf(const TextPair& pair) { return pair.text != nullptr ? pair.text : ""; }
int lengthOf(const TextPair& pair) { return pair.text != nullptr ? pair.length : 0; }

}  // namespace

int32_t metasecLdump(CallFrame* frame, double* result) {
  SecurityOpening opening(frame, result, kLdumpRules);
  if (!opening.validate()) return 0;
  if (!opening.connect()) return 0;  // -1, and a null interface is never touched
  SecurityCall call(opening);
  MetadataInterface* md = call.interface();

  ListingOptions options{};
  options.option = flagsArgument(frame, 3);
  options.flag1 = yesFlag(frame, 4);
  options.flag2 = yesFlag(frame, 5);
  options.flag3 = yesFlag(frame, 6);
  const frame::TextArgument text1 = frame::readCharacterInput(frame, 1);
  const frame::TextArgument text2 = frame::readCharacterInput(frame, 2);
  LoginEntry* list = nullptr;
  const StatusCode status =
      listLogins(md, text1.text, text1.length, text2.text, text2.length, &options, &list);
  if (status != kStatusOk) {
    if (list != nullptr) releaseLoginList(md, list);
    passStatusToHost(status);
    call.setValue(kValueListingFailed);
    return 0;
  }
  call.setValue(kValueSuccess);
  if (list == nullptr) return 0;
  HostInterface* host = frame::hostInterface();
  hostLogLine(host, "UserId,Password,ObjectId,OwnerName,OwnerType,OwnerId");
  for (const LoginEntry* entry = list; entry != nullptr; entry = entry->next) {
    const TextPair* t = entry->texts;
    hostLogLine(host, "%*s,%*s,%*s,%*s,%*s,%*s", lengthOf(t[0]), textOf(t[0]), kMaskWidth, kMask,
                lengthOf(t[2]), textOf(t[2]), lengthOf(t[3]), textOf(t[3]), lengthOf(t[4]),
                textOf(t[4]), lengthOf(t[5]), textOf(t[5]));
  }
  releaseLoginList(md, list);
  return 0;
}

}  // namespace secfuncs
