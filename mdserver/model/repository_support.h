// Helpers shared by the files that implement Repository: outcomes, the lock-and-catch frame of
// every public member, case-blind name comparison and reading an object row.
#pragma once

#include <algorithm>
#include <cctype>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "mdserver/base/ascii_case.h"
#include "mdserver/base/status_codes.h"
#include "mdserver/model/repository.h"
#include "mdserver/storage/sqlite_database.h"

namespace mdserver::repository_support {

using ::mdserver::equalNoCase;

inline Outcome failure(StatusCode status, std::string message) {
  return {status, std::move(message)};
}

// The refusal of every member that is given an object identifier naming nothing.
inline Outcome noSuchObject(std::string_view id) {
  return failure(kStatusObjectNotFound, "no object '" + std::string(id) + "'");
}

// Runs body under the lock and turns storage errors into a status with SQLite's text.
template <typename Body>
Outcome guarded(std::recursive_mutex& mutex, Body&& body) {
  std::lock_guard lock(mutex);
  try {
    return body();
  } catch (const StorageError& error) {
    return failure(kStatusStorageFailure, error.what());
  } catch (const std::bad_alloc&) {
    return failure(kStatusNoMemory, "out of memory");
  }
}

// The Property type, whose objects are the properties of other objects.
inline constexpr std::string_view kPropertyType = "Property";

// A repository identifier, or the part of an object identifier before its dot: eight letters or
// digits.
inline bool isIdentifierPart(std::string_view text) {
  return text.size() == 8 && std::all_of(text.begin(), text.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) != 0;
         });
}

// Columns key, id, type, name, description in that order.
inline ObjectRow readObject(const Statement& s) {
  return ObjectRow{s.integer(0), s.text(1), s.text(2), s.text(3), s.text(4)};
}

}  // namespace mdserver::repository_support
