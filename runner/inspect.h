// `mdhost inspect LIB.so`: what the host reads from a package when it loads it, printed for
// people: the image information block, the module record, the version record and one line per
// function descriptor.
#pragma once

#include <ostream>

#include "host/reference_host.h"

namespace runner {

// Prints the loaded library. The descriptor lines have the fixed form
//   <row> <name> <minArgs> <maxArgs> <resultKind> 0x<callWord> 0x<argWord> cb=0x<offset>
// numbers in decimal, words in lower-case hexadecimal, the callback as its offset from the
// library's load base (stable between runs, unlike its address).
void printLibrary(std::ostream& out, const refhost::LoadedLibrary& library);

// Why `path` cannot be a package, before the loader is asked: it cannot be opened (with the
// reason) or is no ELF file. Empty when it may be one.
std::string checkSharedLibrary(const std::string& path);

// Loads LIB.so into a fresh reference host and prints it; returns the exit status (2 when the
// file is no package). A path without a slash names a file in the current folder.
// With json, one JSON object: library, image, module, version (texts by label), descriptors.
int inspectLibrary(const std::string& path, bool json = false);

}  // namespace runner
