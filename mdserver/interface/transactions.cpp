// Repository handles and the transaction operations; contracts in transactions.h.
#include "mdserver/interface/transactions.h"

#include <algorithm>
#include <cctype>
#include <string>

#include "mdserver/base/status_codes.h"
#include "mdserver/interface/abi_arguments.h"
#include "mdserver/interface/access_guard.h"
#include "mdserver/interface/client_interface.h"
#include "mdserver/interface/operation_dispatch.h"
#include "mdserver/security/access_target.h"
#include "mdserver/security/security_store.h"

namespace mdserver {
namespace {

using namespace abi_arguments;

constexpr std::string_view kScheme = "vqsobj:";
constexpr std::string_view kRepositoryType = "Repository";

bool startsWithFolded(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

// The repository part of a repository reference, or empty when text has neither shape.
std::string_view repositoryPart(std::string_view text) {
  text = trimmed(text);
  if (startsWithFolded(text, kScheme)) {
    std::string_view rest = trimmed(text.substr(kScheme.size()));
    if (!startsWithFolded(rest, kRepositoryType)) return {};
    rest = trimmed(rest.substr(kRepositoryType.size()));
    if (rest.empty() || rest.front() != '\\') return {};
    return trimmed(rest.substr(1));
  }
  if (text.find_first_of(":\\?") != std::string_view::npos) return {};
  return text;
}

// A repository handle's identifier is its repository's; an object's begins with it.
std::string_view repositoryIdOf(const MetadataObject* object) {
  return identifierOf(object).substr(0, 8);
}

// Frees a handle given to an end operation (see the ownership contract).
void freeTransactionHandle(ClientInterface* ci, TransactionHandle* handle) {
  if (!handle) return;
  ClientInterface* owner = handle->owner ? ClientInterface::fromAbi(handle->owner) : ci;
  if (!owner) owner = ci;
  InterfacePool& pool = owner->pool();
  pool.release(handle->attachment);
  pool.release(handle->text);
  pool.release(handle);
}

// What a staged change needs Administer on, as its operation checked when it was staged: the
// entry's target (a template's entries: its repository), the template's repository, or the
// target a template is applied to.
AccessTarget administeredTarget(const AuthorizationChange& change,
                                const std::vector<AuthorizationChange>& staged) {
  using Kind = AuthorizationChange::Kind;
  auto targetOf = [](std::string_view id) {
    return id.size() <= 8 ? repositoryTarget(id) : objectTarget(id);
  };
  switch (change.kind) {
    case Kind::kSet:
    case Kind::kRemove: {
      // A template created in the same transaction is no stored object yet.
      for (const AuthorizationChange& earlier : staged) {
        if (earlier.kind == Kind::kCreateTemplate && earlier.templateRecord.id == change.entry.target) {
          return repositoryTarget(earlier.templateRecord.repositoryId);
        }
      }
      return targetOf(change.entry.target);
    }
    case Kind::kCreateTemplate:
      return repositoryTarget(change.templateRecord.repositoryId);
    case Kind::kDeleteTemplate:
    case Kind::kSetTemplateAttribute:
      return repositoryTarget(objectTarget(change.templateId).repositoryId);
    case Kind::kApplyTemplate:
    case Kind::kRemoveTemplate:
      return targetOf(change.target);
  }
  return targetOf(change.entry.target);
}

StatusCode beginIn(ClientInterface* ci, std::string_view repositoryId, int32_t flags,
                   TransactionRoute route, TransactionHandle** out) {
  TransactionBook& book = ci->transactions();
  const TransactionRecord& record = book.begin(repositoryId, flags, route);
  InterfacePool& pool = ci->pool();
  auto* handle = static_cast<TransactionHandle*>(pool.allocate(sizeof(TransactionHandle)));
  char* text = pool.copyText(record.text.data(), record.text.size());
  if (!handle || !text) {
    pool.release(handle);
    pool.release(text);
    book.cancelNewest();
    return ci->fail(kStatusNoMemory, "beginTransaction: the interface pool is exhausted");
  }
  handle->owner = ci->abi();
  handle->text = text;
  handle->length = static_cast<int32_t>(record.text.size());
  *out = handle;
  return kStatusOk;
}

StatusCode endIn(ClientInterface* ci, TransactionHandle* handle, std::string_view repositoryId,
                 int32_t flag, TransactionRoute route) {
  if (!handle) return ci->fail(kStatusInvalidArgument, "endTransaction: no transaction handle");
  std::string_view text = view(handle->text, handle->length);
  TransactionRecord* record = ci->transactions().findOpen(text);
  if (record && record->repositoryId == repositoryId && flag != kEndFlagAbandon &&
      !record->staged.empty()) {
    // Each change is decided again for its author on the committed state: one the author may
    // no longer make refuses the whole commit and ends the transaction (a retry could not
    // succeed), applying nothing.
    for (const AuthorizationChange& change : record->staged) {
      StatusCode allowed = require(*ci, administeredTarget(change, record->staged),
                                   kPermissionAdminister, kStatusAdministerDenied,
                                   "endTransaction");
      if (allowed != kStatusOk) {
        record->staged.clear();
        ci->transactions().end(text, repositoryId, flag, route);
        return allowed;
      }
    }
    // All staged changes in one storage transaction, before the transaction ends: a commit the
    // storage refuses (a repository busy for longer than a writer waits, a failing disk)
    // applies none of them and leaves the transaction open with everything it staged, so the
    // caller can commit again or abandon.
    Outcome applied = ci->repository().security().apply(record->staged);
    if (!applied.ok()) return ci->fail(applied);
  }
  switch (ci->transactions().end(text, repositoryId, flag, route)) {
    case TransactionBook::EndResult::kEnded:
      record->staged.clear();
      return kStatusOk;
    case TransactionBook::EndResult::kAlreadyEnded:
      return ci->fail(kStatusUnknownTransaction,
                      "transaction '" + std::string(text) + "' has already ended");
    case TransactionBook::EndResult::kOtherRepository:
      return ci->fail(kStatusUnknownTransaction, "transaction '" + std::string(text) +
                                                     "' is not one of repository " +
                                                     std::string(repositoryId));
    case TransactionBook::EndResult::kUnknown:
      break;
  }
  return ci->fail(kStatusUnknownTransaction,
                  "no transaction '" + std::string(text) + "' was begun on this connection");
}

// ---- interface members ----------------------------------------------------------------------

StatusCode beginTransactionOp(MetadataInterface* md, const char* repository, int32_t length,
                              int32_t flags, TransactionHandle** out) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!ci) return kStatusInvalidArgument;
  if (!out) return ci->fail(kStatusInvalidArgument, "beginTransaction: no result address");
  *out = nullptr;
  return dispatch(ci, "beginTransaction", [&]() -> StatusCode {
    auto target = ci->repository().repositoryByReference(view(repository, length));
    if (!target) {
      return ci->fail(kStatusUnknownRepository,
                      "no repository '" + std::string(view(repository, length)) + "'");
    }
    return beginIn(ci, target->id, flags, TransactionRoute::kInterface, out);
  });
}

StatusCode endTransactionOp(MetadataInterface* md, TransactionHandle* handle,
                            const char* repository, int32_t length, int32_t flag) {
  ClientInterface* ci = ClientInterface::fromAbi(md);
  if (!ci) return kStatusInvalidArgument;
  StatusCode status = dispatch(ci, "endTransaction", [&]() -> StatusCode {
    auto target = ci->repository().repositoryByReference(view(repository, length));
    if (!target) {
      return ci->fail(kStatusUnknownRepository,
                      "no repository '" + std::string(view(repository, length)) + "'");
    }
    return endIn(ci, handle, target->id, flag, TransactionRoute::kInterface);
  });
  freeTransactionHandle(ci, handle);
  return status;
}

// ---- repository handle slots ----------------------------------------------------------------

StatusCode repoBeginTransactionOp(MetadataObject* repository, int32_t flags,
                                  TransactionHandle** out) {
  ClientInterface* ci = ownerOf(repository);
  if (!ci) return kStatusInvalidArgument;
  if (!out) return ci->fail(kStatusInvalidArgument, "repoBeginTransaction: no result address");
  *out = nullptr;
  return dispatch(ci, "repoBeginTransaction", [&] {
    return beginIn(ci, repositoryIdOf(repository), flags, TransactionRoute::kRepositoryHandle,
                   out);
  });
}

StatusCode repoEndTransactionOp(MetadataObject* repository, TransactionHandle* handle,
                                int32_t flag) {
  ClientInterface* ci = ownerOf(repository);
  if (!ci) {
    // Without the repository's interface the handle can still go back to its own pool.
    if (handle && handle->owner) freeTransactionHandle(ClientInterface::fromAbi(handle->owner), handle);
    return kStatusInvalidArgument;
  }
  StatusCode status = dispatch(ci, "repoEndTransaction", [&] {
    return endIn(ci, handle, repositoryIdOf(repository), flag,
                 TransactionRoute::kRepositoryHandle);
  });
  freeTransactionHandle(ci, handle);
  return status;
}

void releaseRepositoryHandleOp(MetadataObject* head) {
  ClientInterface* ci = ownerOf(head);
  if (!ci) return;
  ci->enter("releaseList");
  ci->releaseList(head);
}

// Typed refusals: each slot keeps the signature its callers use.
template <StatusCode kStatus, typename... Args>
StatusCode refuse(MetadataObject* object, Args...) {
  ClientInterface* ci = ownerOf(object);
  if (!ci) return kStatus;
  return ci->fail(kStatus, kStatus == kStatusNotARepository
                               ? "the object " + std::string(identifierOf(object)) +
                                     " is not a repository"
                               : "this security operation is not served yet");
}

template <StatusCode kStatus>
void* refusalSlot(int slot) {
  switch (slot) {
    case object_op::kRepoListIdentities:
      return reinterpret_cast<void*>(
          &refuse<kStatus, TransactionHandle*, int32_t, IdentityEntry**>);
    case object_op::kRepoListActs:
      return reinterpret_cast<void*>(&refuse<kStatus, TransactionHandle*, int32_t, ActEntry**>);
    case object_op::kRepoListAuthorizations:
      return reinterpret_cast<void*>(&refuse<kStatus, TransactionHandle*, int32_t,
                                             IdentityEntry*, const char*, int32_t,
                                             AuthorizationEntry**>);
    case object_op::kRepoApplyAct:
    case object_op::kRepoRemoveAct:
      return reinterpret_cast<void*>(
          &refuse<kStatus, TransactionHandle*, int32_t, ActReference*>);
    case object_op::kRepoSetAuthorization:
      return reinterpret_cast<void*>(
          &refuse<kStatus, TransactionHandle*, int32_t, AuthorizationRequest*>);
    case object_op::kRepoBeginTransaction:
      return reinterpret_cast<void*>(&refuse<kStatus, int32_t, TransactionHandle**>);
    case object_op::kRepoEndTransaction:
      return reinterpret_cast<void*>(&refuse<kStatus, TransactionHandle*, int32_t>);
    default:
      return nullptr;
  }
}

}  // namespace

void* securitySlot(int slot) {
  switch (slot) {
    case object_op::kRepoListIdentities:
    case object_op::kRepoListAuthorizations:
    case object_op::kRepoSetAuthorization:
      return securityOperationSlot(slot);
    case object_op::kRepoBeginTransaction:
      return reinterpret_cast<void*>(&repoBeginTransactionOp);
    case object_op::kRepoEndTransaction:
      return reinterpret_cast<void*>(&repoEndTransactionOp);
    case object_op::kRepoListActs:
    case object_op::kRepoApplyAct:
    case object_op::kRepoRemoveAct:
      return templateOperationSlot(slot);
    default:
      return refusalSlot<kStatusNotServed>(slot);
  }
}

void* const* repositoryOperationTable() {
  static void* const* const table = [] {
    static void* slots[object_op::kSlots] = {};
    void* const* objectTable = objectOperationTableOfServer();
    for (int i = 0; i < 12; ++i) slots[i] = objectTable[i];
    slots[object_op::kReleaseList] = reinterpret_cast<void*>(&releaseRepositoryHandleOp);
    for (int i = 12; i < object_op::kSlots; ++i) slots[i] = securitySlot(i);
    return const_cast<void* const*>(slots);
  }();
  return table;
}

bool resolveRepositoryReference(ClientInterface* ci, std::string_view text, MetadataObject** out,
                                StatusCode* status) {
  std::string_view reference = repositoryPart(text);
  if (reference.empty()) return false;
  auto repository = ci->repository().repositoryByReference(reference);
  if (!repository) return false;
  if (!ci->readable()) {
    *status = ci->lastErrorStatus();
    return true;
  }
  if (!mayReadRepository(*ci, repository->id)) {
    // A repository the principal may not read is as absent as an object it may not read.
    *status = ci->fail(kStatusNoMatch, "no repository '" + std::string(reference) + "'");
    return true;
  }
  ObjectRow row;
  row.key = repository->key;
  row.id = repository->id;
  row.type = std::string(kRepositoryType);
  row.name = repository->name;
  row.description = repository->description;
  *status = ci->buildList({row}, out);
  if (*status == kStatusOk && *out) {
    (*out)->operations = repositoryOperationTable();
    ci->trackHandedOut(*out);
  }
  return true;
}

void installTransactionMembers(MetadataInterface& abi) {
  abi.members[interface_member::kBeginTransaction] =
      reinterpret_cast<void*>(&beginTransactionOp);
  abi.members[interface_member::kEndTransaction] = reinterpret_cast<void*>(&endTransactionOp);
}

}  // namespace mdserver
