// The console's static files, embedded into the binary at build time (embed_console.cmake
// writes the table from server/console/), so a served console needs nothing installed beside it.
#pragma once

#include <cstddef>
#include <string_view>

namespace mdserver_net {

struct ConsoleAsset {
  const char* name;         // file name under server/console/
  const char* contentType;
  const unsigned char* bytes;
  size_t size;
};

// The file of that name, or null.
const ConsoleAsset* findConsoleAsset(std::string_view name);

}  // namespace mdserver_net
