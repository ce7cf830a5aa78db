#pragma once
// Fixed-width scalar names used throughout the engine.
#include <cstdint>

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;
using i32 = std::int32_t;
using f32 = float;
using f64 = double;

// "None" of a 16-bit index (ring slot, key frame, plane, feature, link) and of
// a 32-bit one (track, patch, corner, record).
constexpr u16 kNone16 = 0xFFFF;
constexpr u32 kNone32 = 0xFFFFFFFF;
// An unset 32-bit frame number or counter.
constexpr i32 kUnsetCounter = 0x7fffffff;
// Levels of every image pyramid: frames, key frames, matcher items, marker.
constexpr int kPyramidLevels = 4;
