// The quick survey of a seed file: the first of an import's two passes needs only the identifiers
// the file names (and which entries name none), not the documents of its entries. This reader
// finds them in the raw text, checking the JSON grammar as it goes but building nothing, at a
// small fraction of the cost of the full parser; the top-level members other than "objects"
// (small) are handed out whole, parsed as the full reader would.
//
// It is sure of what it reports only for plain files. Anything it does not follow to the letter
// (a syntax fault, a number that may not fit, a \u escape of a surrogate, an escape in an
// identifier or in the name of a member that may decide something, such a member given twice,
// too deep a nesting, a byte-order mark, a read error) makes it answer kUnsure, and the caller
// starts over with the full reader, which names the fault exactly as it always has.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mdserver/model/seed_stream.h"

namespace mdserver::seed_json {

// What the survey needs of one entry of "objects" that is a JSON object.
struct SurveyedEntry {
  enum class Id { kAbsent, kNull, kText, kOther };
  Id idKind = Id::kAbsent;
  std::string id;  // when kText
  bool repositoryIsText = false;
  std::string repository;  // when repositoryIsText
  // The entries of its "properties" array that are objects (none when it is not an array), in
  // order, each with its "id" when that is text.
  size_t properties = 0;
  std::vector<char> propertyHasId;  // first `properties` meaningful
  std::vector<std::string> propertyIds;
};

enum class SurveyResult { kDone, kUnsure };

// Reads source to its end. member(name, piece) as readSeed's; entry(entry) for each entry of
// "objects" that is an object, in order (the others are passed over); progress(offset) after
// every entry, with the bytes read so far. Callbacks may throw to stop the read.
SurveyResult quickSurvey(SeedSource& source,
                         const std::function<void(const std::string&, Piece&)>& member,
                         const std::function<void(const SurveyedEntry&)>& entry,
                         const std::function<void(uint64_t)>& progress);

// The same reader for the load's pass over a file the survey read to its end: each entry of
// "objects" handed out whole, index and piece as readSeed's entry(), its document parsed from
// the entry's own text at once rather than character by character through the source (members
// are passed over). The file is read on a thread of its own, a few dozen entries ahead of the
// caller; entry() and progress() are called on the caller's thread, and what they throw stops
// the reading and comes back from here. kUnsure as above, and then some entries may have been
// handed out already: after a survey that was sure, only the file changing brings it about.
SurveyResult quickEntries(SeedSource& source, const std::function<void(uint64_t, Piece&)>& entry,
                          const std::function<void(uint64_t)>& progress);

}  // namespace mdserver::seed_json
