#pragma once
// The byte layout of binary input frames, shared by the decoder and the encoder so that both
// sides read one definition. All multi-byte integers are big-endian.
//
// Header (14 bytes), then the payload of the kind:
//
//   0      1      2        3      4          8                  14
//   +------+------+--------+------+----------+------------------+---------
//   | 0xAE | 0x01 | channel| kind | seq (u32)| t (u48, 6 bytes) | payload
//   +------+------+--------+------+----------+------------------+---------
//
// Fixed-size kinds (offsets from the frame start; a frame is exactly 14 + payload bytes):
//   0x01 move, 0x02 movedirect   14: x (i32)   18: y (i32)
//   0x03 axis                    14: pad (u8)  15: axis (u8)  16: value (f32 bit pattern)
//   0x10 button                  14: button id (u8, BUTTON_NAMES)  15: down
//   0x11 wheel                   14: delta (i32)
//   0x12 keyvk                   14: vk (u16)  16: down
//   0x13 keyunicode              14: code (u32)  18: down
//   0x14 padbutton               14: pad (u8)  15: padButton (u8)  16: down
// A down byte means pressed only when it is exactly 1.
//
// Snapshot, kind 0x30, variable length, exactly 34 + 2K + 4C + 5P bytes:
//   14: x (i32)  18: y (i32)  22: upto (u32)  26: button mask (bit i = id i + 1 held)
//   27: unused   28: K (u16)  30: C (u16)  32: P (u16)
//   34: K held VKs (u16 each), then C held characters (u32 each), then P opaque 5-byte records.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "kit/input/input_event.h"

namespace cvl::InputFrameLayout {

inline constexpr std::size_t HEADER_SIZE = 14;
// Header fields (magic at 0, version at 1).
inline constexpr std::size_t CHANNEL_AT = 2;
inline constexpr std::size_t KIND_AT = 3;
inline constexpr std::size_t SEQ_AT = 4;
inline constexpr std::size_t T_AT = 8;
// Where every kind's fields start.
inline constexpr std::size_t PAYLOAD_AT = HEADER_SIZE;

// Snapshot fields.
inline constexpr std::size_t SNAPSHOT_X_AT = 14;
inline constexpr std::size_t SNAPSHOT_Y_AT = 18;
inline constexpr std::size_t SNAPSHOT_UPTO_AT = 22;
inline constexpr std::size_t SNAPSHOT_BUTTON_MASK_AT = 26;
inline constexpr std::size_t SNAPSHOT_KEY_COUNT_AT = 28;
inline constexpr std::size_t SNAPSHOT_CHAR_COUNT_AT = 30;
inline constexpr std::size_t SNAPSHOT_RECORD_COUNT_AT = 32;
inline constexpr std::size_t SNAPSHOT_FIXED_SIZE = 34;
inline constexpr std::size_t SNAPSHOT_KEY_SIZE = 2;   // a VK, u16
inline constexpr std::size_t SNAPSHOT_CHAR_SIZE = 4;  // a character, u32
inline constexpr std::size_t SNAPSHOT_RECORD_SIZE = 5;
inline constexpr std::uint8_t SNAPSHOT_KIND = 0x30;
inline constexpr std::uint64_t MAX_T = (std::uint64_t{1} << 48) - 1;

struct FixedKind {
  std::uint8_t code;  // the frame's kind byte
  InputKind kind;
  std::size_t payloadSize;
};

inline constexpr std::array<FixedKind, 8> FIXED_KINDS{{
    {0x01, InputKind::move, 8},
    {0x02, InputKind::moveDirect, 8},
    {0x03, InputKind::axis, 6},
    {0x10, InputKind::button, 2},
    {0x11, InputKind::wheel, 4},
    {0x12, InputKind::keyVk, 3},
    {0x13, InputKind::keyUnicode, 5},
    {0x14, InputKind::padButton, 3},
}};

constexpr std::optional<FixedKind> fixedKind(std::uint8_t code) {
  for (const FixedKind& k : FIXED_KINDS) {
    if (k.code == code) return k;
  }
  return std::nullopt;
}

constexpr std::optional<FixedKind> fixedKind(InputKind kind) {
  for (const FixedKind& k : FIXED_KINDS) {
    if (k.kind == kind) return k;
  }
  return std::nullopt;
}

}  // namespace cvl::InputFrameLayout
