// Copying a metadata object into a block of the package's own making: the new object of
// METADATA_NEWOBJ that seeds the resolution cache, and the target lists that association
// changes hand to the interface.
//
// Contract: the copy is one 168-byte block of the interface pool (zero-filled) holding the
// identifier and its length, the type, name and third text of the source, each in its own pool
// block of its length plus one (an empty or absent text stays absent), the source's operation
// table, the interface as owner and no links. Every block belongs to the interface pool, so the
// list the copy heads is released like any list the interface delivers (operation table slot 0,
// or freeObjectList).
#pragma once

#include "mdaccess/md_abi.h"

namespace objfuncs {

// The copy, or null when a block could not be allocated; nothing is left allocated then.
MetadataObject* copyMetadataObject(MetadataInterface* md, const MetadataObject* source);

}  // namespace objfuncs
