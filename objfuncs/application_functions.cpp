// The server as a whole: METADATA_GETURI (where a registered application listens) and
// METADATA_APPPROP (an application's configured text).
//
//   GETURI(name, uri out [, protocol out [, host out [, port out [, service out]]]])
//      0   every requested output written; also: no connection matches the name, the connection
//          has no attributes, or the session has no interface and no failing status
//     -1   get connection failed with a status          -2  resolveInRepository failed
//     -3   listAttributes failed                        -4  listRepositories failed, or no
//                                                           repository named FOUNDATION
//     -5   a value does not fit its output, or no memory
//     -6   an output is a constant (flag 4), or no output was requested
//   APPPROP(text 1, text 2) → the interface's text, cut at the result's capacity; failures show
//          only in SYSMSG and SYSRC, and the result stays as the host gave it.
//
// GETURI's outputs keep the length of the value written (no padding to the capacity), and a
// failing output stops the function: outputs written before it keep their values, later ones
// are untouched. Every block it takes from the interface pool goes back before it returns.
#include <array>
#include <cstring>

#include "frame/call_frame.h"
#include "frame/host_services.h"
#include "frame/module_globals.h"
#include "frame/status_reporting.h"
#include "mdaccess/connection_cache.h"
#include "objfuncs/functions.h"

namespace objfuncs {
namespace {

constexpr StatusCode kStatusConstantOutput = 0x80172130u;
constexpr StatusCode kStatusNoOutputRequested = 0x8017212Du;
constexpr StatusCode kStatusNoFoundation = 0x8017212Eu;
constexpr StatusCode kStatusValueTooLong = 0x8017212Fu;

constexpr char kFoundation[] = "FOUNDATION";
constexpr int32_t kQueryRoom = 512;  // the query's own text beside the application name
constexpr char kConnectionQuery[] =
    "vqsobj:TCPIPConnection?TCPIPConnection[@Name='Connection URI'][Source/DeployedComponent"
    "[@Name='Registered RUX Application']/DescriptiveComponent/SoftwareComponent[@Name=:'%.*s' "
    "and @PublicType='Application']]";
static_assert(sizeof(kConnectionQuery) < kQueryRoom);

// The four attributes of the connection, in the order their outputs (arguments 3 to 6) follow.
enum Part { kProtocol, kHost, kPort, kService, kPartCount };
constexpr std::array<const char*, kPartCount> kAttributeNames = {
    "CommunicationProtocol", "HostName", "Port", "Service"};

// Labels of arguments 2 to 6 for hostIssueMessage: a constant output is named with its
// terminating byte, a value that does not fit without it.
constexpr std::array<const char*, 5> kConstantLabels = {
    "2, (url),", "3, (Protocol),", "4, (Hostname),", "5, (Port),", "6, (Service),"};
constexpr std::array<const char*, 5> kTooLongLabels = {
    "2, (url).", "3, (Protocol).", "4, (Hostname).", "5, (Port).", "6, (Service)."};

void issueLabel(const char* label, bool withTerminator) {
  const auto length = static_cast<int32_t>(std::strlen(label)) + (withTerminator ? 1 : 0);
  hostIssueMessage(frame::hostInterface(), label, length);
}

// Blocks taken from the interface pool during one call; all go back when the call ends.
class PoolBlocks {
 public:
  explicit PoolBlocks(MetadataInterface* md) : md_(md) {}
  ~PoolBlocks() {
    for (char* block : blocks_) poolFree(md_, block);
  }
  PoolBlocks(const PoolBlocks&) = delete;
  PoolBlocks& operator=(const PoolBlocks&) = delete;
  // A block of `size` bytes, or null when the pool has none.
  char* take(int64_t size) {
    auto* block = static_cast<char*>(poolAllocate(md_, static_cast<uint64_t>(size)));
    if (block != nullptr) blocks_[count_++] = block;
    return block;
  }
  void give(char* block) {
    for (size_t i = 0; i < count_; ++i) {
      if (blocks_[i] == block) {
        poolFree(md_, block);
        blocks_[i] = blocks_[--count_];
        return;
      }
    }
  }

 private:
  MetadataInterface* md_;
  // Name copy, query, one copy per attribute and the URI: never more at once.
  std::array<char*, 3 + kPartCount> blocks_{};
  size_t count_ = 0;
};

struct Value {
  const char* text = nullptr;  // null: the attribute did not occur (an empty text)
  int32_t length = 0;
};

// Step of the output walk: the output argument of each part (3 to 6).
int outputArgument(Part part) { return 3 + static_cast<int>(part); }

// The repository named FOUNDATION, letter case aside; null when the list has none.
const RepositoryEntry* foundationRepository(const RepositoryEntry* list) {
  for (const RepositoryEntry* entry = list; entry != nullptr; entry = entry->next) {
    if (frame::equalTexts(entry->name, entry->nameLength, kFoundation,
                          static_cast<int64_t>(sizeof(kFoundation) - 1))) {
      return entry;
    }
  }
  return nullptr;
}

// Copies the four attributes of interest out of the connection's attribute list.
void collectValues(const NameValueNode* attributes, PoolBlocks& blocks,
                   std::array<Value, kPartCount>& values) {
  for (const NameValueNode* pair = attributes; pair != nullptr; pair = pair->next) {
    for (int part = 0; part < kPartCount; ++part) {
      const char* name = kAttributeNames[static_cast<size_t>(part)];
      if (!frame::equalTexts(pair->name, pair->nameLength, name,
                             static_cast<int64_t>(std::strlen(name)))) {
        continue;
      }
      Value& value = values[static_cast<size_t>(part)];
      // A later pair of the same name replaces the earlier one; without a block for it the
      // attribute counts as absent rather than keeping a value the connection no longer says.
      if (value.text != nullptr) blocks.give(const_cast<char*>(value.text));
      value = Value{};
      const int32_t length = pair->valueLength > 0 ? pair->valueLength : 0;
      if (char* copy = blocks.take(length)) {
        if (length > 0) std::memcpy(copy, pair->value, static_cast<size_t>(length));
        value = Value{copy, length};
      }
      break;
    }
  }
}

// The body of METADATA_GETURI after the connection was obtained. Returns the function value and
// leaves in *status the code to report (0: nothing).
double connectionUri(CallFrame* frame, MetadataInterface* md, StatusCode* status) {
  PoolBlocks blocks(md);
  CharacterSlot* nameSlot = frame::characterSlot(frame, 1);
  const auto nameLength = static_cast<int32_t>(nameSlot->length > 0 ? nameSlot->length : 0);
  // The name goes into the query as given, trailing blanks included.
  char* name = blocks.take(nameLength);
  if (name == nullptr) {
    *status = kStatusNoMemory;
    return -5;
  }
  if (nameLength > 0) std::memcpy(name, nameSlot->text, static_cast<size_t>(nameLength));

  // Which outputs the call asks for. An output without an address is not asked for.
  std::array<bool, 7> requested{};
  const int32_t count = frame::argumentCount(frame);
  bool anyRequested = false;
  for (int argument = 2; argument <= 6; ++argument) {
    if (argument > 2 && count < argument) break;
    if (frame::characterSlot(frame, argument) == nullptr) continue;
    if ((frame::argumentFlags(frame, argument) & kArgumentCannotReceive) != 0) {
      issueLabel(kConstantLabels[static_cast<size_t>(argument - 2)], true);
      *status = kStatusConstantOutput;
      return -6;
    }
    requested[static_cast<size_t>(argument)] = true;
    anyRequested = true;
  }
  if (!anyRequested) {
    *status = kStatusNoOutputRequested;
    return -6;
  }

  RepositoryEntry* repositories = nullptr;
  if (StatusCode listed = listRepositories(md, &repositories); listed != kStatusOk) {
    *status = listed;
    return -4;
  }
  const RepositoryEntry* foundation = foundationRepository(repositories);
  if (foundation == nullptr) {
    *status = kStatusNoFoundation;
    return -4;
  }

  const int64_t queryCapacity = static_cast<int64_t>(nameLength) + kQueryRoom;
  char* query = blocks.take(queryCapacity);
  if (query == nullptr) {
    *status = kStatusNoMemory;
    return -5;
  }
  const int32_t queryLength = hostFormat(frame::hostInterface(), query, queryCapacity,
                                         kConnectionQuery, static_cast<int>(nameLength), name);

  MetadataObject* connections = nullptr;
  StatusCode resolved = resolveInRepository(md, foundation->identifier,
                                            foundation->identifierLength, query, queryLength,
                                            &connections);
  // The list is this call's own: it goes back whatever happens below.
  struct ListGuard {
    MetadataInterface* md;
    MetadataObject* list;
    ~ListGuard() {
      if (list != nullptr) freeObjectList(md, list);
    }
  } listGuard{md, connections};
  if (resolved != kStatusOk) {
    *status = resolved;
    return -2;
  }
  if (connections == nullptr) return 0;

  NameValueNode* attributes = nullptr;
  if (StatusCode listed = listAttributes(connections, &attributes); listed != kStatusOk) {
    *status = listed;
    return -3;
  }
  if (attributes == nullptr) return 0;

  std::array<Value, kPartCount> values{};
  collectValues(attributes, blocks, values);

  for (int part = 0; part < kPartCount; ++part) {
    const int argument = outputArgument(static_cast<Part>(part));
    if (!requested[static_cast<size_t>(argument)]) continue;
    CharacterSlot* slot = frame::characterSlot(frame, argument);
    const Value& value = values[static_cast<size_t>(part)];
    if (slot->capacity > 0) std::memset(slot->text, ' ', static_cast<size_t>(slot->capacity));
    if (slot->capacity < value.length) {
      issueLabel(kTooLongLabels[static_cast<size_t>(argument - 2)], false);
      *status = kStatusValueTooLong;
      return -5;
    }
    slot->length = value.length;
    if (value.length > 0) std::memcpy(slot->text, value.text, static_cast<size_t>(value.length));
  }

  if (requested[2]) {
    constexpr char kSchemeSeparator[] = "://";
    const Value& protocol = values[kProtocol];
    const Value& host = values[kHost];
    const Value& port = values[kPort];
    const Value& service = values[kService];
    const int64_t uriLength = static_cast<int64_t>(protocol.length) + host.length + port.length +
                              service.length + 4;
    CharacterSlot* slot = frame::characterSlot(frame, 2);
    if (slot->capacity < uriLength) {
      issueLabel(kTooLongLabels[0], false);
      *status = kStatusValueTooLong;
      return -5;
    }
    char* uri = blocks.take(uriLength);
    if (uri == nullptr) {
      *status = kStatusNoMemory;
      return -5;
    }
    char* at = uri;
    const auto append = [&at](const char* text, int32_t length) {
      if (length > 0) std::memcpy(at, text, static_cast<size_t>(length));
      at += length;
    };
    append(protocol.text, protocol.length);
    append(kSchemeSeparator, 3);
    append(host.text, host.length);
    append(":", 1);
    append(port.text, port.length);
    append(service.text, service.length);  // the service follows the port directly
    std::memset(slot->text, ' ', static_cast<size_t>(slot->capacity));
    slot->length = uriLength;
    std::memcpy(slot->text, uri, static_cast<size_t>(uriLength));
  }
  return 0;
}

}  // namespace

int32_t metadataGeturi(CallFrame* frame, double* result) {
  if (!frame::resetStatus()) return 0;  // host error 1016 was raised
  mdaccess::Connection connection = mdaccess::getConnection(frame::currentSession());
  if (connection.status != kStatusOk) {
    frame::reportStatus(connection.status);
    *result = -1;
    return 0;
  }
  if (connection.interface == nullptr) {
    *result = 0;
    return 0;
  }
  StatusCode status = kStatusOk;
  *result = connectionUri(frame, connection.interface, &status);
  if (status != kStatusOk) frame::reportStatus(status);
  return 0;
}

int32_t metadataAppprop(CallFrame* frame, CharacterSlot* result) {
  if (!frame::resetStatus()) return 0;  // host error 1016 was raised
  mdaccess::Connection connection = mdaccess::getConnection(frame::currentSession());
  StatusCode status = connection.status;
  if (status == kStatusOk && connection.interface != nullptr) {
    MetadataInterface* md = connection.interface;
    frame::TextArgument application = frame::readCharacterInput(frame, 1);
    frame::TextArgument property = frame::readCharacterInput(frame, 2);
    ValueText* text = nullptr;
    status = getAppProperty(md, application.text, application.length, property.text,
                            property.length, &text);
    if (status == kStatusOk && text != nullptr) {
      frame::writeCharacterOutput(result, text->text, text->length);
    }
    if (text != nullptr) freeText(md, text);
  }
  frame::reportStatus(status);
  return 0;
}

}  // namespace objfuncs
