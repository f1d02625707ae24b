// The host's message catalogue: one text per status code that the packages, the metadata
// repository, the random engine and this host raise, and a generic text for any other code.
//
// Each entry has a plain text (hostMessageText, hostReportStatus, SYSMSG) and, for the random
// engine's catalogue messages that carry arguments, a UTF-16 printf format that consumes exactly
// the arguments the engine passes with that code (see the table in message_catalogue.cpp).
#pragma once

#include <string>

#include "frame/host_abi.h"

namespace refhost {

// The plain text of a code; "Unknown status code 0x%08X." for codes without an entry.
std::string catalogueText(StatusCode code);
// True when the catalogue has an entry for the code.
bool catalogueHas(StatusCode code);
// The UTF-16 argument format of a code, or null when its messages carry no arguments.
const char16_t* catalogueFormat(StatusCode code);

}  // namespace refhost
