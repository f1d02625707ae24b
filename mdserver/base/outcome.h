// The result of a repository or security-store operation: a status and, when it failed, a text
// for people (what went wrong and where). Every layer below the interface answers with one; the
// interface turns it into the 32-bit code and keeps the text as its last error.
#pragma once

#include <string>

#include "frame/host_abi.h"

namespace mdserver {

struct Outcome {
  StatusCode status = kStatusOk;
  std::string message;
  bool ok() const { return status == kStatusOk; }
  static Outcome success() { return {}; }
};

}  // namespace mdserver
