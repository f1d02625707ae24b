// The object function frame: the call sequence every METADATA_* callback follows before its own
// work (index check, reset status, connection, resolution of the object URI in argument 1).
//
// Usage: a callback builds an ObjectCall with its FrameRules, calls open(), and does its own work
// only when open() returns true; the destructor releases an object list that the cache does not
// hold. Every status code met on the way is reported where it occurs.
#pragma once

#include <cstdint>
#include <optional>

#include "frame/host_abi.h"
#include "mdaccess/connection_cache.h"
#include "mdaccess/md_abi.h"

namespace objfuncs {

// The per-function rules of the frame.
struct FrameRules {
  int indexArgument;      // argument holding the index n, 0 when the function has none
  bool resolvesUri;       // argument 1 is an object URI resolved before the function's work
  double unmatchedValue;  // value when the URI matches nothing (only with resolvesUri)
};

// Short object URI, property URI and plain name, as written into the caller's variables.
inline constexpr char kShortObjectUriFormat[] = "VQSOBJ:%*s\\%*s";
inline constexpr char kPropertyUriFormat[] = "VQSOBJ:Property\\%*s";
inline constexpr char kPlainNameFormat[] = "%*s";

inline constexpr double kValueNoInterface = -1;
inline constexpr double kValueInvalidIndex = -4;

class ObjectCall {
 public:
  ObjectCall(CallFrame* frame, double* result, FrameRules rules);
  ~ObjectCall();
  ObjectCall(const ObjectCall&) = delete;
  ObjectCall& operator=(const ObjectCall&) = delete;

  // Runs the frame. False when the function is finished: its value has been stored (or host
  // error 1016 ended the call) and the callback returns 0 at once.
  bool open();

  MetadataInterface* interface() const { return interface_; }
  HostSession* session() const { return session_; }
  int32_t index() const { return index_; }
  MetadataObject* objects() const { return resolution_.objects; }
  // The cache entry that holds objects(); null when the list is not cached.
  mdaccess::ResolutionEntry* entry() const { return resolution_.entry; }
  void setValue(double value) { *result_ = value; }

 private:
  bool start();  // index check and reset status; false when the function is finished

  CallFrame* frame_;
  double* result_;
  FrameRules rules_;
  HostSession* session_ = nullptr;
  MetadataInterface* interface_ = nullptr;
  int32_t index_ = 0;
  mdaccess::Resolution resolution_{};
  bool started_ = false;
};

}  // namespace objfuncs
