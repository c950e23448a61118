#include "automation/ole_persist_format.h"

#include <algorithm>

namespace tarvo::automation {
namespace {

void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

std::uint16_t Get16(std::span<const std::uint8_t> in, std::size_t at) {
  return static_cast<std::uint16_t>(in[at] | (in[at + 1] << 8));
}

std::uint32_t Get32(std::span<const std::uint8_t> in, std::size_t at) {
  return static_cast<std::uint32_t>(in[at]) | (static_cast<std::uint32_t>(in[at + 1]) << 8) |
         (static_cast<std::uint32_t>(in[at + 2]) << 16) |
         (static_cast<std::uint32_t>(in[at + 3]) << 24);
}

}  // namespace

std::vector<std::uint8_t> EncodeState(const PersistedState& state) {
  const std::size_t units = std::min<std::size_t>(state.caption.size(), kMaxCaptionUnits);
  std::vector<std::uint8_t> out;
  out.reserve(kStreamHeaderSize + 2 * units);
  Put16(out, kStreamVersion);
  Put32(out, static_cast<std::uint32_t>(state.extent.cx));
  Put32(out, static_cast<std::uint32_t>(state.extent.cy));
  Put16(out, static_cast<std::uint16_t>(state.mode650));
  Put16(out, static_cast<std::uint16_t>(state.enabled));
  Put32(out, state.color);
  Put32(out, static_cast<std::uint32_t>(units));
  for (std::size_t i = 0; i < units; ++i) Put16(out, static_cast<std::uint16_t>(state.caption[i]));
  return out;
}

HRESULT DecodeHeader(std::span<const std::uint8_t, kStreamHeaderSize> header,
                     std::uint32_t& caption_units) {
  if (Get16(header, 0) != kStreamVersion) return STG_E_OLDFORMAT;
  caption_units = Get32(header, 18);
  if (caption_units > kMaxCaptionUnits) return STG_E_INVALIDHEADER;
  return S_OK;
}

HRESULT DecodeState(std::span<const std::uint8_t> bytes, PersistedState& state) {
  if (bytes.size() < kStreamHeaderSize) return STG_E_READFAULT;
  std::uint32_t units = 0;
  const HRESULT hr = DecodeHeader(bytes.first<kStreamHeaderSize>(), units);
  if (FAILED(hr)) return hr;
  if (bytes.size() < kStreamHeaderSize + 2 * std::size_t{units}) return STG_E_READFAULT;
  PersistedState decoded;
  decoded.extent.cx = static_cast<LONG>(Get32(bytes, 2));
  decoded.extent.cy = static_cast<LONG>(Get32(bytes, 6));
  decoded.mode650 = static_cast<VARIANT_BOOL>(Get16(bytes, 10));
  decoded.enabled = static_cast<VARIANT_BOOL>(Get16(bytes, 12));
  decoded.color = Get32(bytes, 14);
  decoded.caption.resize(units);
  for (std::uint32_t i = 0; i < units; ++i)
    decoded.caption[i] = static_cast<OLECHAR>(Get16(bytes, kStreamHeaderSize + 2 * i));
  state = std::move(decoded);
  return S_OK;
}

}  // namespace tarvo::automation
