// Template bodies of the formatted outputs of call_frame.h.
#pragma once

#include <cstring>

#include "frame/host_services.h"
#include "frame/module_globals.h"

namespace frame {

template <typename... Args>
void formatCharacterOutput(CharacterSlot* slot, const char* format, Args... args) {
  if (slot == nullptr) return;
  if (slot->capacity > 0) std::memset(slot->text, ' ', static_cast<size_t>(slot->capacity));
  slot->length = hostFormat(hostInterface(), slot->text, slot->capacity, format, args...);
}

template <typename... Args>
void writeFormattedOutput(CharacterSlot* slot, const char* format, Args... args) {
  formatCharacterOutput(slot, format, args...);
  padOutput(slot);
}

}  // namespace frame
