// Message catalogue entries.
//
// Arguments of the random engine's catalogue messages (MessageObject::catalogue(level, code,
// ...)), in the order the engine passes them. Types are the C types after default promotion:
// "w" = const char16_t* (UTF-16, NUL-terminated), "n" = const char* (8-bit), "len,w" = int32_t
// length in characters followed by const char16_t* (printed with %.*S), "u64" = unsigned long
// long, "i64" = long long, "d" = double.
//
//   code        arguments
//   0x8C7FE817  d seed, w method name
//   0x8C7FE818  d double seed, u64 maximum seed, w method name, u64 seed, u64 seed
//   0x8C7FE819  d double seed, u64 upper bound N, u64 result
//   0x8C7FE81A  d stream number, w method name
//   0x8C7FE81B  d stream number, u64 maximum stream number, w method name
//   0x8C7FE81C  u64 stream number, u64 maximum stream number, w method name
//   0x8C7FE828  n method (description or name), u64 seed
//   0x8C7FE829  n method, u64 seed, u64 seed
//   0x8C7FE82A  n method, u64 seed, u64 seed, u64 stream number, u64 stream number
//   0x8C7FE851  n description (the 8-bit name when the method has none)
//   0x8C7FE852  w method name, u64 state size in bytes
//   0x8C7FE8C8  len,w text, len,w name, i64 lowest, i64 highest
//   0x8C7FE8C9  len,w text, len,w name
//   0x8C7FE8CA  len,w name
//
// Every other code carries no arguments; catalogue() of such a code prints its plain text.
#include "host/message_catalogue.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace refhost {
namespace {

struct Entry {
  StatusCode code;
  const char* text;
  const char16_t* format;  // null: no arguments
};

// Sorted by code (checked once at first use) so look-ups are binary searches.
constexpr Entry kEntries[] = {
    {0x80000803u, "Out of memory: a block could not be allocated.", nullptr},
    // Metadata client interface (module 740).
    {0x801720DEu, "No objects match the specified URI.", nullptr},
    {0x801720DFu, "The object URI or query is malformed.", nullptr},
    {0x801720E0u, "The type is not known to the metadata repository.", nullptr},
    {0x801720E1u, "The object does not exist in the metadata repository.", nullptr},
    {0x801720E2u, "An argument given to the metadata repository is missing or malformed.", nullptr},
    {0x801720E3u, "The metadata repository's storage reported an error.", nullptr},
    {0x801720E4u, "The application has no property of that name.", nullptr},
    {0x801720E5u, "An object with that identifier or name already exists.", nullptr},
    {0x801720E6u, "The namespace is not known to the metadata repository.", nullptr},
    {0x801720E7u, "The object has no such association.", nullptr},
    {0x801720E8u, "The object is already associated with that target.", nullptr},
    {0x801720E9u, "No open transaction with that text exists in that repository.", nullptr},
    {0x801720EAu, "The object is not a repository.", nullptr},
    {0x801720EBu, "The repository does not serve this security operation yet.", nullptr},
    {0x801720FAu, "The query needs more work than the metadata repository allows.", nullptr},
    {0x8017210Bu, "The transaction text is longer than the variable that should receive it.",
     nullptr},
    {0x8017210Cu, "The transaction text is blank.", nullptr},
    {0x8017210Du, "Attribute names and values must come in pairs: the argument count is odd.",
     nullptr},
    {0x8017210Eu, "No access control template was given: name one as argument 3.", nullptr},
    {0x8017211Fu, "The credentials of the connection could not be obtained.", nullptr},
    {0x80172120u, "The user identity could not be converted for Java.", nullptr},
    {0x80172121u, "No Java string could be made for the user identity.", nullptr},
    {0x80172122u, "The password could not be converted for Java.", nullptr},
    {0x80172123u, "No Java string could be made for the password.", nullptr},
    {0x80172124u, "No Java string could be made for the domain.", nullptr},
    {0x80172125u, "The Java method setCredential was not found.", nullptr},
    {0x8017212Du, "No output argument was requested.", nullptr},
    {0x8017212Eu, "No repository named FOUNDATION was found.", nullptr},
    {0x8017212Fu, "A value is longer than the variable that should receive it.", nullptr},
    {0x80172130u, "An output argument is a constant and cannot receive a value.", nullptr},
    {0x80172131u, "The path is malformed.", nullptr},
    {0x80172132u, "The repository of the path is not known.", nullptr},
    {0x80172150u, "Login failed: the user is unknown or the password is wrong.", nullptr},
    {0x80172151u, "The metadata repository requires a login: give a user and a password.", nullptr},
    {0x80172152u, "The user is not permitted to change this object (Write is not granted).", nullptr},
    {0x80172153u, "The user is not permitted to delete this object (Delete is not granted).", nullptr},
    {0x80172154u, "The user is not permitted to change security here (Administer is not granted).",
     nullptr},
    {0x80172155u, "The identity is not known to the metadata repository.", nullptr},
    {0x80172156u, "The permission is not defined in the metadata repository.", nullptr},
    {0x80172157u, "The access control template is not known to the metadata repository.", nullptr},
    {0x80172158u, "The access control template is already applied there.", nullptr},
    {0x80172159u, "The access control template is not applied there.", nullptr},
    {0x8017215Au, "An access control template needs a non-blank Name.", nullptr},
    // The host's own services and its name-value store.
    {0x803FC002u, "A required argument is missing.", nullptr},
    {0x803FC003u, "The request selector is not known to the host.", nullptr},
    {0x803FC004u, "The option is not known to the host.", nullptr},
    {0x803FC005u, "The text does not begin with a number.", nullptr},
    {0x803FC006u, "No Java object of that name is known to the host.", nullptr},
    {0x803FC007u, "The buffer is too small for the value.", nullptr},
    {0x803FC008u, "The session has ended or is not known to the host.", nullptr},
    {0x803FC009u, "The stored value has another type.", nullptr},
    {0x803FC010u, "No metadata server is configured.", nullptr},
    {0x803FC011u, "The session extension slot number is out of range.", nullptr},
    {0x803FC264u, "The stored value has another type; it was not replaced.", nullptr},
    {0x803FC26Au, "The name has no value.", nullptr},
    // Random engine.
    {0x8C7FE80Bu, "The random number generator method is not known; MTHYBRID is used.", nullptr},
    {0x8C7FE80Cu,
     "The random number generator method needs RDRAND, which the processor does not have; "
     "MTHYBRID is used.",
     nullptr},
    {0x8C7FE80Du, "The random number generator method takes no seed; the seed is ignored.",
     nullptr},
    {0x8C7FE80Fu,
     "The random number generator method has no streams; the stream number is ignored.", nullptr},
    {0x8C7FE810u, "The stream number is out of range for the random number generator method.",
     nullptr},
    {0x8C7FE817u, "A seed was given to a method that takes none; the seed is ignored.",
     u"The seed %.17g is ignored: the random number generator method %s takes no seed."},
    {0x8C7FE818u, "The seed was converted to a whole number within the method's range.",
     u"The seed %.17g is not a whole number from 1 to %llu for the random number generator "
     u"method %s; the seed %llu (0x%llX) is used instead."},
    {0x8C7FE819u, "The seed is outside the method's range after scaling.",
     u"The seed %.17g scaled to the range 1 to %llu gives %llu, which is outside that range."},
    {0x8C7FE81Au, "A stream number was given to a method without streams; it is ignored.",
     u"The stream number %.17g is ignored: the random number generator method %s has no "
     u"streams."},
    {0x8C7FE81Bu, "The stream number is not a whole number within the method's range.",
     u"The stream number %.17g is not a whole number from 0 to %llu for the random number "
     u"generator method %s."},
    {0x8C7FE81Cu, "The stream number exceeds the method's largest stream number.",
     u"The stream number %llu exceeds %llu, the largest stream number of the random number "
     u"generator method %s."},
    {0x8C7FE828u, "The random number generator is seeded.",
     u"The random number generator %hs is seeded with %llu."},
    {0x8C7FE829u, "The random number generator is seeded.",
     u"The random number generator %hs is seeded with %llu (0x%llX)."},
    {0x8C7FE82Au, "The random number generator is seeded and keyed with a stream number.",
     u"The random number generator %hs is seeded with %llu (0x%llX) and uses stream %llu "
     u"(0x%llX)."},
    {0x8C7FE851u, "A random number generator method is installed.",
     u"The random number generator method %hs is installed."},
    {0x8C7FE852u, "A random number generator method reports its state size.",
     u"The random number generator method %s keeps %llu bytes of state."},
    {0x8C7FE8C8u, "A setting is not a whole number within the accepted range.",
     u"The value '%.*S' of the setting %.*S is not a whole number from %lli to %lli."},
    {0x8C7FE8C9u, "A setting holds a word that is not accepted; the setting is cleared.",
     u"The value '%.*S' of the setting %.*S is not an accepted word; the setting is cleared."},
    {0x8C7FE8CAu, "A message limit is reached; further messages of its kind are not shown.",
     u"The message limit %.*S is reached; further messages of this kind are not shown."},
};

const Entry* findEntry(StatusCode code) {
  static const bool sorted = std::is_sorted(std::begin(kEntries), std::end(kEntries),
                                            [](const Entry& a, const Entry& b) {
                                              return a.code < b.code;
                                            });
  if (!sorted) {
    for (const Entry& e : kEntries)
      if (e.code == code) return &e;
    return nullptr;
  }
  auto it = std::lower_bound(std::begin(kEntries), std::end(kEntries), code,
                             [](const Entry& e, StatusCode c) { return e.code < c; });
  return it != std::end(kEntries) && it->code == code ? it : nullptr;
}

}  // namespace

std::string catalogueText(StatusCode code) {
  if (const Entry* e = findEntry(code)) return e->text;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "Unknown status code 0x%08X.", code);
  return buffer;
}

bool catalogueHas(StatusCode code) { return findEntry(code) != nullptr; }

const char16_t* catalogueFormat(StatusCode code) {
  const Entry* e = findEntry(code);
  return e ? e->format : nullptr;
}

}  // namespace refhost
