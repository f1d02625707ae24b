// Copying a metadata object into new interface pool blocks.
#include "objfuncs/object_copy.h"

#include <algorithm>
#include <cstring>

namespace objfuncs {
namespace {

// A pool block of length + 1 bytes holding the text; null for an empty text. Sets *failed when
// the block could not be allocated.
char* copyText(MetadataInterface* md, const char* text, int32_t length, bool* failed) {
  if (text == nullptr || length <= 0) return nullptr;
  auto* copy = static_cast<char*>(poolAllocate(md, static_cast<uint64_t>(length) + 1));
  if (copy == nullptr) {
    *failed = true;
    return nullptr;
  }
  std::memcpy(copy, text, static_cast<size_t>(length));  // the zero fill terminates it
  return copy;
}

}  // namespace

MetadataObject* copyMetadataObject(MetadataInterface* md, const MetadataObject* source) {
  auto* copy = static_cast<MetadataObject*>(poolAllocate(md, sizeof(MetadataObject)));
  if (copy == nullptr) return nullptr;
  // A length the identifier field cannot hold is taken as far as the field goes, so a broken
  // source never makes us read past it.
  int32_t identifierLength = std::clamp(source->identifierLength, 0, kIdentifierCapacity);
  std::memcpy(copy->identifier, source->identifier, static_cast<size_t>(identifierLength));
  copy->identifierLength = identifierLength;

  bool failed = false;
  copy->type = copyText(md, source->type, source->typeLength, &failed);
  copy->typeLength = copy->type != nullptr ? source->typeLength : 0;
  copy->name = copyText(md, source->name, source->nameLength, &failed);
  copy->nameLength = copy->name != nullptr ? source->nameLength : 0;
  copy->description = copyText(md, source->description, source->descriptionLength, &failed);
  copy->descriptionLength = copy->description != nullptr ? source->descriptionLength : 0;
  if (failed) {
    for (char* text : {copy->type, copy->name, copy->description}) {
      if (text != nullptr) poolFree(md, text);
    }
    poolFree(md, copy);
    return nullptr;
  }
  copy->operations = source->operations;
  copy->owner = md;
  return copy;
}

}  // namespace objfuncs
