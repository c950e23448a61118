#pragma once
// The control's persisted properties and their stream layout.
//
// A container saves a control to keep its design-time settings with a form
// and loads them into the control it creates later. The properties that
// persist are the ones a form designer sets: the extent (HIMETRIC), Mode650,
// Enabled, Color and Caption. The rest of the window properties only describe
// the live window, and the driver keeps no settings beyond Mode650.
//
// Stream layout (IPersistStreamInit), little-endian:
//   offset  0  u16  version word, 1
//           2  i32  extent width (HIMETRIC)
//           6  i32  extent height (HIMETRIC)
//          10  i16  Mode650 (VARIANT_BOOL)
//          12  i16  Enabled (VARIANT_BOOL)
//          14  u32  Color (OLE_COLOR)
//          18  u32  length of Caption in UTF-16 code units (at most 32767)
//          22  ...  Caption, one u16 per code unit
//
// Property bag names (IPersistPropertyBag): "_ExtentX", "_ExtentY" (VT_I4),
// "Mode650", "Enabled" (VT_BOOL), "Color" (VT_I4), "Caption" (VT_BSTR).
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/com/ole_control_abi.h"

namespace tarvo::automation {

using OleText = std::basic_string<OLECHAR>;

struct PersistedState {
  SIZEL extent{0, 0};
  VARIANT_BOOL mode650 = VARIANT_TRUE;
  VARIANT_BOOL enabled = VARIANT_TRUE;
  OLE_COLOR color = 0;
  OleText caption;

  friend bool operator==(const PersistedState& a, const PersistedState& b) {
    return a.extent.cx == b.extent.cx && a.extent.cy == b.extent.cy && a.mode650 == b.mode650 &&
           a.enabled == b.enabled && a.color == b.color && a.caption == b.caption;
  }
};

inline constexpr std::uint16_t kStreamVersion = 1;
inline constexpr std::size_t kStreamHeaderSize = 22;
inline constexpr std::uint32_t kMaxCaptionUnits = 32767;

// The whole encoding of `state` (its caption cut to kMaxCaptionUnits).
std::vector<std::uint8_t> EncodeState(const PersistedState& state);

// Checks the fixed header: S_OK with the caption length that follows,
// STG_E_OLDFORMAT for another version word, STG_E_INVALIDHEADER for a
// caption longer than kMaxCaptionUnits.
HRESULT DecodeHeader(std::span<const std::uint8_t, kStreamHeaderSize> header,
                     std::uint32_t& caption_units);

// Decodes a whole encoding (header and caption) into `state`. Fails as
// DecodeHeader does, or with STG_E_READFAULT when `bytes` is shorter than the
// header says; `state` is only written on success.
HRESULT DecodeState(std::span<const std::uint8_t> bytes, PersistedState& state);

}  // namespace tarvo::automation
