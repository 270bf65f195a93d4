#pragma once

// Little-endian encoding of fixed-size integers, independent of the host.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <type_traits>

namespace W4Notifier::detail {

template <class T>
inline void StoreLittleEndian(std::uint8_t* out, T value) {
  static_assert(std::is_integral_v<T>);
  using U = std::make_unsigned_t<T>;
  U bits = static_cast<U>(value);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, &bits, sizeof bits);
  } else {
    for (std::size_t i = 0; i < sizeof bits; ++i)
      out[i] = static_cast<std::uint8_t>(bits >> (8 * i));
  }
}

template <class T>
inline T LoadLittleEndian(const std::uint8_t* in) {
  static_assert(std::is_integral_v<T>);
  using U = std::make_unsigned_t<T>;
  U bits = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&bits, in, sizeof bits);
  } else {
    for (std::size_t i = 0; i < sizeof bits; ++i) bits |= static_cast<U>(in[i]) << (8 * i);
  }
  return static_cast<T>(bits);
}

// Copies UTF-16 code units to little-endian bytes and back.
inline void StoreUtf16(std::uint8_t* out, const char16_t* text, std::size_t length) {
  if constexpr (std::endian::native == std::endian::little) {
    if (length != 0) std::memcpy(out, text, length * 2);
  } else {
    for (std::size_t i = 0; i < length; ++i) StoreLittleEndian<std::uint16_t>(out + 2 * i, text[i]);
  }
}

inline void LoadUtf16(char16_t* out, const std::uint8_t* in, std::size_t length) {
  if constexpr (std::endian::native == std::endian::little) {
    if (length != 0) std::memcpy(out, in, length * 2);
  } else {
    for (std::size_t i = 0; i < length; ++i) out[i] = LoadLittleEndian<std::uint16_t>(in + 2 * i);
  }
}

// Replaces `out` with `length` wire code units: sized, then copied into byte
// by byte (the wire bytes need not lie at a code unit boundary). Storage too
// small is replaced by a string of the exact size: growing it instead would
// go through the string's general reallocation path, which copies the old
// text and rounds the capacity up.
inline void AssignUtf16(std::u16string& out, const std::uint8_t* in, std::size_t length) {
  if (length > out.capacity()) {
    out = std::u16string(length, u'\0');
  } else {
    out.resize(length);
  }
  LoadUtf16(out.data(), in, length);
}

}  // namespace W4Notifier::detail
