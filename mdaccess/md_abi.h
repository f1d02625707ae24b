// The metadata client interface as the packages see it: the interface record, its pool, the
// metadata objects and repository handles it returns, and the lists and records that cross it.
// Declared once here with fixed layouts; the metadata repository (mdserver/) serves exactly these.
//
// Ownership: every list, record and text handed to a package is a block of the interface pool,
// element by element, so one release routine frees lists made by either side. Texts handed out
// are NUL-terminated right after their length.
//
// Lists an object hands out (listAttributes, listProperties, listAssociationNames,
// getAssociation) belong to the object. Asked again, the object may hand out the same list
// while nothing it lists has changed; a list handed out in place of an earlier one never has the
// earlier one's head, so a package that kept a position in a list knows by the head whether the
// position still holds.
//
// Members and table slots are reached only through the typed wrappers at the end of this file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/host_abi.h"

struct MetadataInterface;
struct MetadataObject;

inline constexpr uint32_t kPoolZeroFill = 0x80000000u;  // allocate flag: zero-filled block

// ---------------------------------------------------------------------------------------------
// Interface pool: an object of 8-byte members; member 3 allocates, member 4 frees.
// ---------------------------------------------------------------------------------------------
struct MetadataPool {
  void* reserved[3];
  void* (*allocate)(MetadataPool* pool, uint64_t size, uint32_t flags);  // member 3
  void (*release)(MetadataPool* pool, void* block);                      // member 4
  void* serverPrivate[3];
};
static_assert(offsetof(MetadataPool, allocate) == 24);
static_assert(offsetof(MetadataPool, release) == 32);
static_assert(sizeof(MetadataPool) == 64);

// ---------------------------------------------------------------------------------------------
// Metadata object (168 bytes). Also the element of object lists and the repository handle.
// ---------------------------------------------------------------------------------------------
inline constexpr int32_t kIdentifierCapacity = 20;  // identifiers hold at most 20 bytes

struct MetadataObject {
  MetadataObject* next;            // 0: next object of the list
  MetadataObject* previous;        // 8
  MetadataInterface* owner;        // 16: interface whose pool owns this block
  char identifier[24];             // 24: at most 20 bytes, NUL-terminated
  int32_t identifierLength;        // 48
  int32_t typeLength;              // 52
  char* type;                      // 56: separate block (length + 1), null when absent
  char* name;                      // 64
  int32_t nameLength;              // 72
  int32_t descriptionLength;       // 76
  char* description;               // 80: the object's third text
  int64_t serverKey;               // 88: the repository's own key of the object; 0 for templates
  void* const* operations;         // 96: member 12, the operation table
  uint32_t flags;                  // 104: repository handles: kRepositoryCachedAuthorizations
  uint32_t reserved;               // 108
  void* cachedAuthorizations;      // 112: list valid while the flag is set
  void* serverPrivate[6];          // 120..167: owned sub-lists and bookkeeping of the server
};
static_assert(offsetof(MetadataObject, owner) == 16);
static_assert(offsetof(MetadataObject, identifier) == 24);
static_assert(offsetof(MetadataObject, identifierLength) == 48);
static_assert(offsetof(MetadataObject, typeLength) == 52);
static_assert(offsetof(MetadataObject, type) == 56);
static_assert(offsetof(MetadataObject, name) == 64);
static_assert(offsetof(MetadataObject, nameLength) == 72);
static_assert(offsetof(MetadataObject, descriptionLength) == 76);
static_assert(offsetof(MetadataObject, description) == 80);
static_assert(offsetof(MetadataObject, operations) == 96);
static_assert(offsetof(MetadataObject, flags) == 104);
static_assert(offsetof(MetadataObject, cachedAuthorizations) == 112);
static_assert(sizeof(MetadataObject) == 168);

inline constexpr uint32_t kRepositoryCachedAuthorizations = 0x100;

// Slots of an object's operation table.
namespace object_op {
inline constexpr int kReleaseList = 0;           // (head) → void: frees the list it heads
inline constexpr int kListAssociationNames = 2;  // (obj, flag, NameNode** out)
inline constexpr int kGetAssociation = 3;        // (obj, name, len, flag, MetadataObject** out)
inline constexpr int kGetAttribute = 4;          // (obj, name, len, ValueText** out)
inline constexpr int kListAttributes = 5;        // (obj, NameValueNode** out)
inline constexpr int kGetProperty = 6;           // (obj, name, len, flag, PropertyRecord** out)
inline constexpr int kListProperties = 7;        // (obj, NameValueNode** out)
inline constexpr int kSetProperty = 8;           // (obj, PropertyRecord*)
inline constexpr int kSetAttribute = 9;          // (obj, AttributeRecord*)
inline constexpr int kSetAssociation = 10;       // (obj, name, len, flag, MetadataObject* targets)
inline constexpr int kRepoListIdentities = 12;
inline constexpr int kRepoListActs = 13;
inline constexpr int kRepoListAuthorizations = 14;
inline constexpr int kRepoApplyAct = 15;
inline constexpr int kRepoRemoveAct = 16;
inline constexpr int kRepoSetAuthorization = 17;
inline constexpr int kRepoBeginTransaction = 18;
inline constexpr int kRepoEndTransaction = 19;
inline constexpr int kSlots = 20;
}  // namespace object_op

// Association modification flags of setAssociation.
inline constexpr int32_t kAssociationRemove = 32;
inline constexpr int32_t kAssociationMerge = 4;
inline constexpr int32_t kAssociationAppend = 2;
inline constexpr int32_t kAssociationModify = 8;
inline constexpr int32_t kAssociationReplace = 16;

// ---------------------------------------------------------------------------------------------
// Lists and records.
// ---------------------------------------------------------------------------------------------
struct NameNode {  // type names, association names
  char* name;
  int32_t nameLength;
  int32_t reserved;
  NameNode* next;
};
static_assert(offsetof(NameNode, nameLength) == 8);
static_assert(offsetof(NameNode, next) == 16);
static_assert(sizeof(NameNode) == 24);

// Element of the lists listAttributes and listProperties hand out, in the object's order. The
// node and both texts are pool blocks of the object that handed the list out.
struct NameValueNode {
  char* name;              // 0: terminated after nameLength
  int32_t nameLength;      // 8
  int32_t reserved1;
  char* value;             // 16: terminated after valueLength; empty values have length 0
  int32_t valueLength;     // 24
  int32_t reserved2;
  NameValueNode* next;     // 32: null at the end
};
static_assert(offsetof(NameValueNode, nameLength) == 8);
static_assert(offsetof(NameValueNode, value) == 16);
static_assert(offsetof(NameValueNode, valueLength) == 24);
static_assert(offsetof(NameValueNode, next) == 32);
static_assert(sizeof(NameValueNode) == 40);

// getAttribute (owned by the object asked) and getAppProperty (the caller's: freeText).
struct ValueText {
  char* text;       // 0: pool block, terminated after length
  int32_t length;   // 8
  int32_t reserved;
};
static_assert(offsetof(ValueText, length) == 8);
static_assert(sizeof(ValueText) == 16);

// Request of setAttribute: built by the caller, all fields zero first; the texts are the
// caller's (not terminated, read up to their lengths) and stay so.
struct AttributeRecord {
  const char* name;     // 0
  int32_t nameLength;   // 8: trimmed
  int32_t reserved1;
  const char* value;    // 16
  int32_t valueLength;  // 24: trimmed; 0 stores an empty value
  int32_t changeFlags;  // 28: 1
  int64_t further[2];   // 32: 0
};
static_assert(offsetof(AttributeRecord, nameLength) == 8);
static_assert(offsetof(AttributeRecord, value) == 16);
static_assert(offsetof(AttributeRecord, valueLength) == 24);
static_assert(offsetof(AttributeRecord, changeFlags) == 28);
static_assert(offsetof(AttributeRecord, further) == 32);
static_assert(sizeof(AttributeRecord) == 48);

inline constexpr int32_t kPropertyValueChanged = 1;
inline constexpr int32_t kPropertyNew = 2;
inline constexpr int32_t kPropertyTypeCode = 12;

// getProperty hands out a record owned by the object asked (name and value pool blocks); a
// package may replace its value with a pool block of its own before setProperty, and the object
// frees whatever value the record holds. For a new property the package builds the record itself
// (texts pointing into its arguments, change flags kPropertyNew) and setProperty writes the new
// property's identifier into it.
struct PropertyRecord {
  char* name;               // 0
  int32_t nameLength;       // 8
  int32_t reserved1;
  char* value;              // 16: null with length 0 when there is none
  int32_t valueLength;      // 24
  int32_t changeFlags;      // 28: kPropertyValueChanged, kPropertyNew
  char identifier[24];      // 32: at most 20 bytes, zero after them
  int32_t identifierLength; // 56
  int32_t typeCode;         // 60: 12 for a property created by a package
  int64_t further[2];       // 64: 0 in a new record
};
static_assert(offsetof(PropertyRecord, nameLength) == 8);
static_assert(offsetof(PropertyRecord, value) == 16);
static_assert(offsetof(PropertyRecord, valueLength) == 24);
static_assert(offsetof(PropertyRecord, changeFlags) == 28);
static_assert(offsetof(PropertyRecord, identifier) == 32);
static_assert(offsetof(PropertyRecord, identifierLength) == 56);
static_assert(offsetof(PropertyRecord, typeCode) == 60);
static_assert(offsetof(PropertyRecord, further) == 64);
static_assert(sizeof(PropertyRecord) == 80);

struct RepositoryEntry {  // listRepositories
  char* identifier;       // 8 characters
  int32_t identifierLength;
  int32_t nameLength;
  char* name;
  char* description;
  int32_t descriptionLength;
  int32_t reserved;
  RepositoryEntry* next;
};
static_assert(offsetof(RepositoryEntry, name) == 16);
static_assert(offsetof(RepositoryEntry, next) == 40);
static_assert(sizeof(RepositoryEntry) == 48);

// ---------------------------------------------------------------------------------------------
// The interface record: 8-byte members, member n at offset 8·n. Operations take the interface
// itself first and return a status code unless noted.
// ---------------------------------------------------------------------------------------------
namespace interface_member {
inline constexpr int kPool = 3;
inline constexpr int kObjectOperations = 12;  // the method table for metadata objects
inline constexpr int kReleaseInterface = 29;
inline constexpr int kListRepositories = 34;
inline constexpr int kIsPaused = 41;
inline constexpr int kFreeText = 45;
inline constexpr int kGetCredentials = 51;
inline constexpr int kFreeCredentials = 52;
inline constexpr int kResolveInRepository = 61;
inline constexpr int kResolveUri = 62;
inline constexpr int kFindByPath = 63;
inline constexpr int kGetAppProperty = 64;
inline constexpr int kFreeObjectList = 65;
inline constexpr int kDeleteAssociation = 69;
inline constexpr int kDeleteObject = 71;
inline constexpr int kGetNamespace = 73;
inline constexpr int kReleaseNamespace = 74;
inline constexpr int kNewObject = 77;
inline constexpr int kServerVersion = 79;
inline constexpr int kBeginTransaction = 86;
inline constexpr int kEndTransaction = 87;
inline constexpr int kReleaseIdentityFilter = 89;
inline constexpr int kListAuthorizations = 93;
inline constexpr int kSetAuthorization = 94;
inline constexpr int kReleaseAuthorizations = 95;
inline constexpr int kApplyAct = 98;
inline constexpr int kRemoveAct = 99;
inline constexpr int kListActAttributes = 100;
inline constexpr int kReleaseAttributeList = 101;
inline constexpr int kSetActAttribute = 102;
inline constexpr int kDeleteAct = 103;
inline constexpr int kNewAct = 104;
inline constexpr int kListActsById = 105;
inline constexpr int kListLogins = 106;
inline constexpr int kReleaseLoginList = 107;
inline constexpr int kCount = 112;
}  // namespace interface_member

struct MetadataInterface {
  void* members[interface_member::kCount];
};
static_assert(sizeof(MetadataInterface) == 8 * interface_member::kCount);

// The type namespace object that getNamespace returns: its type names in order.
struct MetadataNamespace {
  MetadataInterface* owner;
  NameNode* typeNames;  // list of type names, in the namespace's order
  char* name;           // "RUX"
  int32_t nameLength;
  int32_t reserved;
  void* serverPrivate[4];
};
static_assert(offsetof(MetadataNamespace, typeNames) == 8);
static_assert(sizeof(MetadataNamespace) == 64);

// ---------------------------------------------------------------------------------------------
// Typed wrappers. Only this header casts members and slots to their signatures.
// ---------------------------------------------------------------------------------------------
namespace md_detail {
template <typename Fn>
inline Fn member(MetadataInterface* md, int n) {
  return reinterpret_cast<Fn>(md->members[n]);
}
template <typename Fn>
inline Fn slot(const MetadataObject* object, int n) {
  return reinterpret_cast<Fn>(object->operations[n]);
}
}  // namespace md_detail

inline MetadataPool* interfacePool(MetadataInterface* md) {
  return static_cast<MetadataPool*>(md->members[interface_member::kPool]);
}
inline void* poolAllocate(MetadataInterface* md, uint64_t size) {
  MetadataPool* pool = interfacePool(md);
  return pool->allocate(pool, size, kPoolZeroFill);
}
inline void poolFree(MetadataInterface* md, void* block) {
  MetadataPool* pool = interfacePool(md);
  pool->release(pool, block);
}
inline void* const* objectOperationTable(MetadataInterface* md) {
  return static_cast<void* const*>(md->members[interface_member::kObjectOperations]);
}

inline StatusCode releaseInterface(MetadataInterface* md) {
  return md_detail::member<StatusCode (*)(MetadataInterface*)>(
      md, interface_member::kReleaseInterface)(md);
}
inline StatusCode listRepositories(MetadataInterface* md, RepositoryEntry** out) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, RepositoryEntry**)>(
      md, interface_member::kListRepositories)(md, out);
}
inline int32_t isPaused(MetadataInterface* md) {
  return md_detail::member<int32_t (*)(MetadataInterface*)>(md, interface_member::kIsPaused)(md);
}
inline StatusCode freeText(MetadataInterface* md, ValueText* text) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, ValueText*)>(
      md, interface_member::kFreeText)(md, text);
}
// (0, first text out, its length out, second text out, its length out).
inline StatusCode getCredentials(MetadataInterface* md, char** user, int32_t* userLength,
                                 char** password, int32_t* passwordLength) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, int64_t, char**, int32_t*, char**,
                                          int32_t*)>(md, interface_member::kGetCredentials)(
      md, 0, user, userLength, password, passwordLength);
}
inline StatusCode freeCredentials(MetadataInterface* md, char* user, char* password) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, char*, char*)>(
      md, interface_member::kFreeCredentials)(md, user, password);
}
// (repository identifier, its length, query, its length, 0, list out).
inline StatusCode resolveInRepository(MetadataInterface* md, const char* repository,
                                      int32_t repositoryLength, const char* query,
                                      int32_t queryLength, MetadataObject** out) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, const char*, int32_t, const char*,
                                          int32_t, int64_t, MetadataObject**)>(
      md, interface_member::kResolveInRepository)(md, repository, repositoryLength, query,
                                                  queryLength, 0, out);
}
// (interface, 0, 0, text, length, -1, list out).
inline StatusCode resolveUri(MetadataInterface* md, const char* text, int32_t length,
                             MetadataObject** out) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, int64_t, int64_t, const char*,
                                          int32_t, int32_t, MetadataObject**)>(
      md, interface_member::kResolveUri)(md, 0, 0, text, length, -1, out);
}
// (repository name, path, type sought; each with its length; list out).
inline StatusCode findByPath(MetadataInterface* md, const char* repository,
                             int32_t repositoryLength, const char* path, int32_t pathLength,
                             const char* type, int32_t typeLength, MetadataObject** out) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, const char*, int32_t, const char*,
                                          int32_t, const char*, int32_t, MetadataObject**)>(
      md, interface_member::kFindByPath)(md, repository, repositoryLength, path, pathLength, type,
                                         typeLength, out);
}
inline StatusCode getAppProperty(MetadataInterface* md, const char* application,
                                 int32_t applicationLength, const char* property,
                                 int32_t propertyLength, ValueText** out) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, const char*, int32_t, const char*,
                                          int32_t, ValueText**)>(
      md, interface_member::kGetAppProperty)(md, application, applicationLength, property,
                                             propertyLength, out);
}
inline StatusCode freeObjectList(MetadataInterface* md, MetadataObject* list) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, MetadataObject*)>(
      md, interface_member::kFreeObjectList)(md, list);
}
inline StatusCode deleteAssociation(MetadataInterface* md, const char* identifier,
                                    int32_t identifierLength, const char* type, int32_t typeLength,
                                    const char* association, int32_t associationLength) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, const char*, int32_t, const char*,
                                          int32_t, const char*, int32_t)>(
      md, interface_member::kDeleteAssociation)(md, identifier, identifierLength, type,
                                                typeLength, association, associationLength);
}
inline StatusCode deleteObject(MetadataInterface* md, MetadataObject* object) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, MetadataObject*)>(
      md, interface_member::kDeleteObject)(md, object);
}
inline StatusCode getNamespace(MetadataInterface* md, const char* name, int32_t length,
                               MetadataNamespace** out) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, const char*, int32_t,
                                          MetadataNamespace**)>(
      md, interface_member::kGetNamespace)(md, name, length, out);
}
inline StatusCode releaseNamespace(MetadataInterface* md, MetadataNamespace* ns) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, MetadataNamespace*)>(
      md, interface_member::kReleaseNamespace)(md, ns);
}
// (related URI, its length, 0, 0, text 6, its length, text 4, its length, 0, template).
inline StatusCode newObject(MetadataInterface* md, const char* related, int32_t relatedLength,
                            const char* association, int32_t associationLength,
                            const char* repository, int32_t repositoryLength,
                            MetadataObject* templateObject) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, const char*, int32_t, int64_t,
                                          int64_t, const char*, int32_t, const char*, int32_t,
                                          int64_t, MetadataObject*)>(
      md, interface_member::kNewObject)(md, related, relatedLength, 0, 0, association,
                                        associationLength, repository, repositoryLength, 0,
                                        templateObject);
}
inline double serverVersion(MetadataInterface* md) {
  return md_detail::member<double (*)(MetadataInterface*)>(md, interface_member::kServerVersion)(
      md);
}

// Object operations.
inline void releaseObjectList(MetadataObject* head) {
  md_detail::slot<void (*)(MetadataObject*)>(head, object_op::kReleaseList)(head);
}
inline StatusCode listAssociationNames(MetadataObject* o, NameNode** out) {
  return md_detail::slot<StatusCode (*)(MetadataObject*, int32_t, NameNode**)>(
      o, object_op::kListAssociationNames)(o, 0, out);
}
inline StatusCode getAssociation(MetadataObject* o, const char* name, int32_t length,
                                 MetadataObject** out) {
  return md_detail::slot<StatusCode (*)(MetadataObject*, const char*, int32_t, int32_t,
                                        MetadataObject**)>(o, object_op::kGetAssociation)(
      o, name, length, 0, out);
}
inline StatusCode getAttribute(MetadataObject* o, const char* name, int32_t length,
                               ValueText** out) {
  return md_detail::slot<StatusCode (*)(MetadataObject*, const char*, int32_t, ValueText**)>(
      o, object_op::kGetAttribute)(o, name, length, out);
}
inline StatusCode listAttributes(MetadataObject* o, NameValueNode** out) {
  return md_detail::slot<StatusCode (*)(MetadataObject*, NameValueNode**)>(
      o, object_op::kListAttributes)(o, out);
}
inline StatusCode getProperty(MetadataObject* o, const char* name, int32_t length,
                              PropertyRecord** out) {
  return md_detail::slot<StatusCode (*)(MetadataObject*, const char*, int32_t, int32_t,
                                        PropertyRecord**)>(o, object_op::kGetProperty)(
      o, name, length, 1, out);
}
inline StatusCode listProperties(MetadataObject* o, NameValueNode** out) {
  return md_detail::slot<StatusCode (*)(MetadataObject*, NameValueNode**)>(
      o, object_op::kListProperties)(o, out);
}
inline StatusCode setProperty(MetadataObject* o, PropertyRecord* record) {
  return md_detail::slot<StatusCode (*)(MetadataObject*, PropertyRecord*)>(
      o, object_op::kSetProperty)(o, record);
}
inline StatusCode setAttribute(MetadataObject* o, AttributeRecord* record) {
  return md_detail::slot<StatusCode (*)(MetadataObject*, AttributeRecord*)>(
      o, object_op::kSetAttribute)(o, record);
}
inline StatusCode setAssociation(MetadataObject* o, const char* name, int32_t length,
                                 int32_t flag, MetadataObject* targets) {
  return md_detail::slot<StatusCode (*)(MetadataObject*, const char*, int32_t, int32_t,
                                        MetadataObject*)>(o, object_op::kSetAssociation)(
      o, name, length, flag, targets);
}

// ---------------------------------------------------------------------------------------------
// Security records: what the security functions pass to and receive from the interface.
// ---------------------------------------------------------------------------------------------
struct TransactionHandle {  // 40 bytes from the interface pool
  MetadataInterface* owner;  // pool that owns the record and its text
  char* text;                // transaction text; allocated with one spare byte
  int32_t length;
  int32_t reserved;
  void* attachment;          // owned block, released with the record when not null
  uint64_t unused;
};
static_assert(offsetof(TransactionHandle, text) == 8);
static_assert(offsetof(TransactionHandle, length) == 16);
static_assert(offsetof(TransactionHandle, attachment) == 24);
static_assert(sizeof(TransactionHandle) == 40);

struct TextPair {  // a pointer to bytes and a signed 32-bit length
  char* text;
  int32_t length;
  int32_t reserved;
};
static_assert(sizeof(TextPair) == 16);

struct IdentityEntry {  // 80 bytes; identity lists and identity filters
  TextPair texts[4];
  IdentityEntry* next;
  IdentityEntry* previous;
};
static_assert(offsetof(IdentityEntry, next) == 64);
static_assert(sizeof(IdentityEntry) == 80);

struct AuthorizationEntry {
  IdentityEntry* identity;  // only its first three texts are meaningful
  int32_t code;
  int32_t reserved;
  TextPair permission;      // text P
  TextPair condition;       // text Q
  AuthorizationEntry* next;
};
static_assert(offsetof(AuthorizationEntry, code) == 8);
static_assert(offsetof(AuthorizationEntry, permission) == 16);
static_assert(offsetof(AuthorizationEntry, condition) == 32);
static_assert(offsetof(AuthorizationEntry, next) == 48);
static_assert(sizeof(AuthorizationEntry) == 56);

struct IdentityPairRecord {  // 40 bytes, built by the caller for setAuthorization
  const char* text1;
  int32_t length1;
  int32_t reserved1;
  const char* text2;
  int32_t length2;
  int32_t reserved2;
  void* next;
};
static_assert(sizeof(IdentityPairRecord) == 40);

struct AuthorizationRequest {  // 64 bytes, built by the caller for setAuthorization
  IdentityPairRecord* identity;
  int32_t grantCode;  // 2 grant, 1 deny, 0 otherwise
  int32_t reserved1;
  const char* permission;
  int32_t permissionLength;
  int32_t reserved2;
  const char* condition;
  int32_t conditionLength;
  int32_t reserved3;
  uint64_t zero[2];
};
static_assert(offsetof(AuthorizationRequest, permission) == 16);
static_assert(offsetof(AuthorizationRequest, condition) == 32);
static_assert(sizeof(AuthorizationRequest) == 64);

struct ActEntry {  // element of ACT lists; the first three texts are read
  TextPair texts[5];
  ActEntry* next;
};
static_assert(offsetof(ActEntry, next) == 80);
static_assert(sizeof(ActEntry) == 88);

struct AttributeEntry {  // 48 bytes; ACT attribute lists
  char* name;
  int32_t nameLength;
  int32_t reserved1;
  char* value;
  int32_t valueLength;
  int32_t reserved2;
  AttributeEntry* next;
  AttributeEntry* previous;
};
static_assert(offsetof(AttributeEntry, value) == 16);
static_assert(offsetof(AttributeEntry, next) == 32);
static_assert(sizeof(AttributeEntry) == 48);

struct ActReference {  // 96 bytes, zero-filled; request of deleteAct/applyAct/removeAct
  char* text;          // pool copy of the reference, trimmed length plus one
  int32_t length;
  int32_t reserved;
  uint64_t zero[10];
};
static_assert(sizeof(ActReference) == 96);

struct LoginEntry {  // UserId, Password, ObjectId, OwnerName, OwnerType, OwnerId
  TextPair texts[6];
  LoginEntry* next;
};
static_assert(offsetof(LoginEntry, next) == 96);
static_assert(sizeof(LoginEntry) == 104);

struct ListingOptions {  // 16 bytes, passed by address to listLogins
  int32_t option;
  int32_t flag1;
  int32_t flag2;
  int32_t flag3;
};
static_assert(sizeof(ListingOptions) == 16);

// Security operations of the interface and of repository handles.
inline StatusCode beginTransaction(MetadataInterface* md, const char* repository, int32_t length,
                                   int32_t flags, TransactionHandle** out) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, const char*, int32_t, int32_t,
                                          TransactionHandle**)>(
      md, interface_member::kBeginTransaction)(md, repository, length, flags, out);
}
inline StatusCode endTransaction(MetadataInterface* md, TransactionHandle* handle,
                                 const char* repository, int32_t length, int32_t flag) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, TransactionHandle*, const char*,
                                          int32_t, int32_t)>(
      md, interface_member::kEndTransaction)(md, handle, repository, length, flag);
}
inline void releaseIdentityFilter(MetadataInterface* md, IdentityEntry* filter) {
  md_detail::member<void (*)(MetadataInterface*, IdentityEntry*)>(
      md, interface_member::kReleaseIdentityFilter)(md, filter);
}
inline StatusCode listAuthorizations(MetadataInterface* md, TransactionHandle* transaction,
                                     const char* reference, int32_t length, int32_t flags,
                                     IdentityEntry* filter, const char* permission,
                                     int32_t permissionLength, AuthorizationEntry** out) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, TransactionHandle*, const char*,
                                          int32_t, int32_t, IdentityEntry*, const char*, int32_t,
                                          AuthorizationEntry**)>(
      md, interface_member::kListAuthorizations)(md, transaction, reference, length, flags,
                                                 filter, permission, permissionLength, out);
}
inline StatusCode setAuthorization(MetadataInterface* md, TransactionHandle* transaction,
                                   int32_t flags, AuthorizationRequest* request) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, TransactionHandle*, const char*,
                                          int32_t, int32_t, AuthorizationRequest*)>(
      md, interface_member::kSetAuthorization)(md, transaction, "", 0, flags, request);
}
inline void releaseAuthorizations(MetadataInterface* md, AuthorizationEntry* list) {
  md_detail::member<void (*)(MetadataInterface*, AuthorizationEntry*)>(
      md, interface_member::kReleaseAuthorizations)(md, list);
}
inline StatusCode applyAct(MetadataInterface* md, TransactionHandle* transaction, int32_t flags,
                           ActReference* reference) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, TransactionHandle*, const char*,
                                          int32_t, int32_t, ActReference*)>(
      md, interface_member::kApplyAct)(md, transaction, "", 0, flags, reference);
}
inline StatusCode removeAct(MetadataInterface* md, TransactionHandle* transaction, int32_t flags,
                            ActReference* reference) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, TransactionHandle*, const char*,
                                          int32_t, int32_t, ActReference*)>(
      md, interface_member::kRemoveAct)(md, transaction, "", 0, flags, reference);
}
inline StatusCode listActAttributes(MetadataInterface* md, TransactionHandle* transaction,
                                    const char* reference, int32_t length, AttributeEntry** out) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, TransactionHandle*, const char*,
                                          int32_t, AttributeEntry**)>(
      md, interface_member::kListActAttributes)(md, transaction, reference, length, out);
}
inline void releaseAttributeList(MetadataInterface* md, AttributeEntry* list) {
  md_detail::member<void (*)(MetadataInterface*, AttributeEntry*)>(
      md, interface_member::kReleaseAttributeList)(md, list);
}
inline StatusCode setActAttribute(MetadataInterface* md, TransactionHandle* transaction,
                                  const char* reference, int32_t length, AttributeEntry* entry) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, TransactionHandle*, const char*,
                                          int32_t, AttributeEntry*)>(
      md, interface_member::kSetActAttribute)(md, transaction, reference, length, entry);
}
inline StatusCode deleteAct(MetadataInterface* md, TransactionHandle* transaction,
                            ActReference* reference) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, TransactionHandle*, ActReference*)>(
      md, interface_member::kDeleteAct)(md, transaction, reference);
}
inline StatusCode newAct(MetadataInterface* md, TransactionHandle* transaction, const char* target,
                         int32_t length, AttributeEntry* attributes) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, TransactionHandle*, const char*,
                                          int32_t, AttributeEntry*)>(
      md, interface_member::kNewAct)(md, transaction, target, length, attributes);
}
inline StatusCode listActsById(MetadataInterface* md, TransactionHandle* transaction,
                               const char* text, int32_t length, int32_t flags, ActEntry** out) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, TransactionHandle*, const char*,
                                          int32_t, int32_t, ActEntry**)>(
      md, interface_member::kListActsById)(md, transaction, text, length, flags, out);
}
inline StatusCode listLogins(MetadataInterface* md, const char* text1, int32_t length1,
                             const char* text2, int32_t length2, ListingOptions* options,
                             LoginEntry** out) {
  return md_detail::member<StatusCode (*)(MetadataInterface*, const char*, int32_t, const char*,
                                          int32_t, ListingOptions*, LoginEntry**)>(
      md, interface_member::kListLogins)(md, text1, length1, text2, length2, options, out);
}
inline void releaseLoginList(MetadataInterface* md, LoginEntry* list) {
  md_detail::member<void (*)(MetadataInterface*, LoginEntry*)>(
      md, interface_member::kReleaseLoginList)(md, list);
}

inline StatusCode repoListIdentities(MetadataObject* repository, TransactionHandle* transaction,
                                     int32_t flags, IdentityEntry** out) {
  return md_detail::slot<StatusCode (*)(MetadataObject*, TransactionHandle*, int32_t,
                                        IdentityEntry**)>(repository,
                                                          object_op::kRepoListIdentities)(
      repository, transaction, flags, out);
}
inline StatusCode repoListActs(MetadataObject* repository, TransactionHandle* transaction,
                               int32_t flags, ActEntry** out) {
  return md_detail::slot<StatusCode (*)(MetadataObject*, TransactionHandle*, int32_t, ActEntry**)>(
      repository, object_op::kRepoListActs)(repository, transaction, flags, out);
}
inline StatusCode repoListAuthorizations(MetadataObject* repository,
                                         TransactionHandle* transaction, int32_t flags,
                                         IdentityEntry* filter, const char* permission,
                                         int32_t permissionLength, AuthorizationEntry** out) {
  return md_detail::slot<StatusCode (*)(MetadataObject*, TransactionHandle*, int32_t,
                                        IdentityEntry*, const char*, int32_t,
                                        AuthorizationEntry**)>(
      repository, object_op::kRepoListAuthorizations)(repository, transaction, flags, filter,
                                                      permission, permissionLength, out);
}
inline StatusCode repoApplyAct(MetadataObject* repository, TransactionHandle* transaction,
                               int32_t flags, ActReference* reference) {
  return md_detail::slot<StatusCode (*)(MetadataObject*, TransactionHandle*, int32_t,
                                        ActReference*)>(repository, object_op::kRepoApplyAct)(
      repository, transaction, flags, reference);
}
inline StatusCode repoRemoveAct(MetadataObject* repository, TransactionHandle* transaction,
                                int32_t flags, ActReference* reference) {
  return md_detail::slot<StatusCode (*)(MetadataObject*, TransactionHandle*, int32_t,
                                        ActReference*)>(repository, object_op::kRepoRemoveAct)(
      repository, transaction, flags, reference);
}
inline StatusCode repoSetAuthorization(MetadataObject* repository, TransactionHandle* transaction,
                                       int32_t flags, AuthorizationRequest* request) {
  return md_detail::slot<StatusCode (*)(MetadataObject*, TransactionHandle*, int32_t,
                                        AuthorizationRequest*)>(
      repository, object_op::kRepoSetAuthorization)(repository, transaction, flags, request);
}
inline StatusCode repoBeginTransaction(MetadataObject* repository, int32_t flags,
                                       TransactionHandle** out) {
  return md_detail::slot<StatusCode (*)(MetadataObject*, int32_t, TransactionHandle**)>(
      repository, object_op::kRepoBeginTransaction)(repository, flags, out);
}
inline StatusCode repoEndTransaction(MetadataObject* repository, TransactionHandle* handle,
                                     int32_t flag) {
  return md_detail::slot<StatusCode (*)(MetadataObject*, TransactionHandle*, int32_t)>(
      repository, object_op::kRepoEndTransaction)(repository, handle, flag);
}
