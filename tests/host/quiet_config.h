// The host configuration the host tests start from: everything as a real host has it, except
// that the log stays in memory instead of going to standard error.
#pragma once

#include "host/reference_host.h"

namespace refhost::testing {

inline HostConfig quietConfig() {
  HostConfig config;
  config.logFile = nullptr;
  return config;
}

}  // namespace refhost::testing
