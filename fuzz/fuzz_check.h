// What the fuzz targets check beyond "no crash": a failed check prints what was expected and the
// detail, then aborts, which libFuzzer reports as a crash (with the input saved) and the replay
// driver as a failed test.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzzing {

[[noreturn]] inline void checkFailed(const char* file, int line, const char* condition,
                                     const std::string& detail) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n  %s\n", file, line, condition, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace fuzzing

#define FUZZ_CHECK(condition, detail)                                              \
  do {                                                                             \
    if (!(condition)) fuzzing::checkFailed(__FILE__, __LINE__, #condition, detail); \
  } while (false)
