// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Bounds-checked reading of untrusted bytes: every read names its offset and fails, instead of
// reading past the end, when the bytes are not there.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace wq {

class ByteView {
 public:
  ByteView() = default;
  ByteView(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}
  explicit ByteView(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::size_t size() const { return bytes_.size(); }
  const std::uint8_t* data() const { return bytes_.data(); }
  bool has(std::size_t offset, std::size_t length) const {
    return offset <= bytes_.size() && length <= bytes_.size() - offset;
  }

  std::optional<std::uint8_t> u8(std::size_t offset) const {
    if (!has(offset, 1)) {
      return std::nullopt;
    }
    return bytes_[offset];
  }
  // Big-endian (network order) 16-bit value.
  std::optional<std::uint16_t> be16(std::size_t offset) const {
    if (!has(offset, 2)) {
      return std::nullopt;
    }
    return static_cast<std::uint16_t>(bytes_[offset] << 8 | bytes_[offset + 1]);
  }
  // A value in the host's byte order, copied as it stands.
  template <class T>
  std::optional<T> host(std::size_t offset) const {
    if (!has(offset, sizeof(T))) {
      return std::nullopt;
    }
    T value;
    std::memcpy(&value, bytes_.data() + offset, sizeof(T));
    return value;
  }
  // The bytes from `offset` on, as many as there are up to `length`; empty past the end.
  ByteView sub(std::size_t offset, std::size_t length = SIZE_MAX) const {
    if (offset >= bytes_.size()) {
      return {};
    }
    return ByteView(bytes_.subspan(offset, std::min(length, bytes_.size() - offset)));
  }
  std::span<const std::uint8_t> span() const { return bytes_; }

 private:
  std::span<const std::uint8_t> bytes_;
};

}  // namespace wq
