// METASEC_GETNAUTH: the n-th authorization entry of an object or a repository.
//
//   GETNAUTH(transaction, reference, n, text2 in/out, text1 in/out, code out, permission in/out,
//            text Q out [, flags [, text3 out]])
//       0 found (not n); -4 bad n; -1 no interface (not reported); -2 the identity filter could
//       not be built (unequal item counts, or memory); -99 no list (reference not resolved, a
//       failed listing, both reported; or an empty list); -5 no n-th entry.
//
// Route decision on the reference's trimmed length L (c18, c9: the characters at L-18, L-9):
// below 18 a repository name; 18 to 25 an object reference when c18 is '/'; from 26 on, when the
// text begins with "vqsobj:" (the host's text test) an object reference when c18 is '/', and
// otherwise also when c9 is '.' and c18 is a backslash. Everything else is a repository name.
//
// Caches: an object reference's list is kept in the connection's authorization slot, and moved
// into the repository handle that the same text resolved to when there is one (flag 0x100), so
// n = 1, 2, 3, ... ask the server once. Both caches are keyed by the text alone.
//
// Ownership: the interface takes every identity filter passed to a listing; a filter built but
// never passed (the slot answered without the server) is released here. Lists kept in a cache
// stay there; a list the repository route fetched is given back before returning, and a list
// delivered with a failure is given back at once, since nothing else could ever free them.
#include "frame/call_frame.h"
#include "frame/host_services.h"
#include "frame/module_globals.h"
#include "frame/status_reporting.h"
#include "mdaccess/authorization_slot.h"
#include "secfuncs/functions.h"
#include "secfuncs/item_list.h"
#include "secfuncs/security_call.h"

#include <cstring>

namespace secfuncs {
namespace {

constexpr OpeningRules kGetnauthRules{3, NotStartedAt::kAfterValidation, false};

bool isObjectReference(const char* text, int32_t length) {
  if (length < 18) return false;
  const char c18 = text[length - 18];
  const char c9 = text[length - 9];
  if (length <= 25) return c18 == '/';
  if (hostTextTest(frame::hostInterface(), "vqsobj:", text, length) != 0) return c18 == '/';
  return c18 == '/' || (c9 == '.' && c18 == '\\');
}

bool copyItem(MetadataInterface* md, TextPair& pair, const std::string& item) {
  auto* copy = static_cast<char*>(poolAllocate(md, item.size() + 1));
  if (copy == nullptr) return false;
  std::memcpy(copy, item.data(), item.size());
  pair.text = copy;
  pair.length = static_cast<int32_t>(item.size());
  return true;
}

// Builds the identity filter from argument 4 (text-2 items) and argument 5 (text-1 items).
// False on unequal counts (the filter is released) or when memory runs out.
bool buildIdentityFilter(MetadataInterface* md, CallFrame* frame, IdentityEntry** out) {
  *out = nullptr;
  const frame::TextArgument types = frame::readCharacterInput(frame, 4);
  const frame::TextArgument names = frame::readCharacterInput(frame, 5);
  IdentityEntry* head = nullptr;
  IdentityEntry* tail = nullptr;
  const std::vector<std::string> typeItems = parseItemList(types.text, types.length);
  // On a failed allocation the entries built so far go back too: nothing else could free them.
  const auto fail = [md, &head] {
    if (head != nullptr) releaseIdentityFilter(md, head);
    return false;
  };
  for (const std::string& item : typeItems) {
    auto* entry = static_cast<IdentityEntry*>(poolAllocate(md, sizeof(IdentityEntry)));
    if (entry == nullptr) return fail();
    entry->previous = tail;
    (tail != nullptr ? tail->next : head) = entry;
    tail = entry;
    if (!copyItem(md, entry->texts[1], item)) return fail();
  }
  const std::vector<std::string> nameItems = parseItemList(names.text, names.length);
  IdentityEntry* entry = head;
  for (const std::string& item : nameItems) {
    if (entry == nullptr) break;  // counted, not stored
    if (!copyItem(md, entry->texts[0], item)) return fail();
    entry = entry->next;
  }
  if (typeItems.size() != nameItems.size()) {
    releaseIdentityFilter(md, head);
    return false;
  }
  *out = head;
  return true;
}

bool argumentBlank(CallFrame* frame, int argument) {
  return frame::readCharacterInput(frame, argument).length == 0;
}

struct ListingRequest {
  TransactionHandle* transaction;
  int32_t flags;
  IdentityEntry* filter;
  const char* permission;
  int32_t permissionLength;
  bool filterPassed;
};

StatusCode listForSlot(MetadataInterface* md, const char* reference, int32_t length,
                       void* request, void** listOut) {
  auto* r = static_cast<ListingRequest*>(request);
  r->filterPassed = true;
  AuthorizationEntry* list = nullptr;
  StatusCode status = listAuthorizations(md, r->transaction, reference, length, r->flags,
                                         r->filter, r->permission, r->permissionLength, &list);
  *listOut = list;
  return status;
}

void releaseForSlot(MetadataInterface* md, void* list) {
  releaseAuthorizations(md, static_cast<AuthorizationEntry*>(list));
}

void keepInHandle(HostSession* session, MetadataObject* handle, AuthorizationEntry* list) {
  mdaccess::detachAuthorizationSlot(session);
  handle->cachedAuthorizations = list;
  handle->flags |= kRepositoryCachedAuthorizations;
}

void failListing(StatusCode status) {
  passStatusToHost(status);
  frame::reportStatus(status);
}

}  // namespace

int32_t metasecGetnauth(CallFrame* frame, double* result) {
  SecurityOpening opening(frame, result, kGetnauthRules);
  if (!opening.validate()) return 0;
  const int32_t count = frame::argumentCount(frame);
  const int32_t flags = count >= 9 ? flagsArgument(frame, 9) : 0;
  if (!opening.connect()) return 0;
  SecurityCall call(opening);
  call.rebuildTransaction(1);
  MetadataInterface* md = call.interface();
  HostSession* session = call.session();

  const frame::TextArgument reference = frame::readCharacterInput(frame, 2);
  const frame::TextArgument permissionText = frame::readCharacterInput(frame, 7);
  const char* permission = permissionText.length == 0 ? nullptr : permissionText.text;
  const bool wantsFilter = !argumentBlank(frame, 4) || !argumentBlank(frame, 5);
  AuthorizationEntry* list = nullptr;
  AuthorizationEntry* fetchedHere = nullptr;  // given back before returning

  if (isObjectReference(reference.text, reference.length)) {
    MetadataObject* handle = mdaccess::findCachedRepository(session, reference.text, reference.length);
    if (handle != nullptr && (handle->flags & kRepositoryCachedAuthorizations) != 0) {
      list = static_cast<AuthorizationEntry*>(handle->cachedAuthorizations);
    } else {
      list = static_cast<AuthorizationEntry*>(
          mdaccess::lookUpAuthorizationSlot(session, reference.text, reference.length));
      if (list != nullptr && handle != nullptr) keepInHandle(session, handle, list);
    }
    if (list == nullptr) {
      IdentityEntry* filter = nullptr;
      if (wantsFilter && !buildIdentityFilter(md, frame, &filter)) {
        call.setValue(kValueRequestFailed);
        return 0;
      }
      ListingRequest request{call.transaction(), flags, filter, permission,
                             permission == nullptr ? 0 : permissionText.length, false};
      void* filled = nullptr;
      const StatusCode status = mdaccess::fillAuthorizationSlot(
          session, reference.text, reference.length, &listForSlot, &releaseForSlot, &request,
          &filled);
      if (!request.filterPassed && filter != nullptr) releaseIdentityFilter(md, filter);
      if (status != kStatusOk) {
        if (filled != nullptr) releaseAuthorizations(md, static_cast<AuthorizationEntry*>(filled));
        failListing(status);
        return 0;  // -99 stays
      }
      list = static_cast<AuthorizationEntry*>(filled);
      if (handle != nullptr) keepInHandle(session, handle, list);
    }
  } else {
    if (!call.chooseRoute(2, kValueResolveFailed, /*blankIsDefault=*/false)) {
      call.setValue(kValueNotStarted);  // no handle, so no list
      return 0;
    }
    MetadataObject* handle = call.repository();
    if ((handle->flags & kRepositoryCachedAuthorizations) != 0) {
      list = static_cast<AuthorizationEntry*>(handle->cachedAuthorizations);
    } else {
      IdentityEntry* filter = nullptr;
      if (wantsFilter && !buildIdentityFilter(md, frame, &filter)) {
        call.setValue(kValueRequestFailed);
        return 0;
      }
      const StatusCode status = repoListAuthorizations(
          handle, call.transaction(), flags, filter, permission,
          permission == nullptr ? 0 : permissionText.length, &list);
      if (status != kStatusOk) {
        if (list != nullptr) releaseAuthorizations(md, list);
        failListing(status);
        return 0;
      }
      fetchedHere = list;
    }
  }

  if (list == nullptr) {
    call.setValue(kValueNotStarted);
  } else if (AuthorizationEntry* entry = nthEntry(list, call.validatedInteger()); entry == nullptr) {
    call.setValue(kValueNotFound);
  } else {
    static const TextPair kNone{};
    const IdentityEntry* identity = entry->identity;
    const TextPair& text1 = identity != nullptr ? identity->texts[0] : kNone;
    const TextPair& text2 = identity != nullptr ? identity->texts[1] : kNone;
    const TextPair& text3 = identity != nullptr ? identity->texts[2] : kNone;
    const auto copy = [frame](int argument, const TextPair& pair) {
      copyToOutput(frame::characterSlot(frame, argument), pair.text,
                   pair.text == nullptr ? 0 : pair.length);
    };
    copy(4, text2);
    copy(5, text1);
    char code[32];
    const int32_t codeLength = hostFormat(frame::hostInterface(), code, sizeof code, "%d", entry->code);
    copyToOutput(frame::characterSlot(frame, 6), code, codeLength);
    copy(7, entry->permission);
    copy(8, entry->condition);
    if (count == 10) copy(10, text3);
    call.setValue(kValueSuccess);
  }
  if (fetchedHere != nullptr) releaseAuthorizations(md, fetchedHere);
  return 0;
}

}  // namespace secfuncs
