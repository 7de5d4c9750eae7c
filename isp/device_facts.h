#pragma once
// What the device information's values mean beyond their hex text: the 32 KiB part, and
// the note the status line shows after a read.
#include <string>
#include <string_view>

#include "isp/person.h"

namespace velkorn::isp {

// The memory size/type code of the 32 KiB part; every other code is a 64 KiB part.
inline constexpr std::string_view kMemoryCode32K = "F7";
inline bool is32KPart(std::string_view memoryCode) { return memoryCode == kMemoryCode32K; }

// The status line's note for one value as it arrives: the boot status byte's state
// ("FF" the bootloader runs, "00" the application), the 32 KiB part's size; empty for
// everything else.
inline std::string deviceNote(DeviceField field, std::string_view text) {
  if (field == DeviceField::BSB && text == "FF") return "BOOTLOADER";
  if (field == DeviceField::BSB && text == "00") return "normal operation";
  if (field == DeviceField::Mem && is32KPart(text)) return "Chipsize=0x8000";
  return {};
}

}  // namespace velkorn::isp
