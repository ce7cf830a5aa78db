#pragma once
// What every harness shares: a reader that turns the fuzzer's bytes into
// choices, indices and hostile numbers (NaN, infinities, FLT_MAX, 1e30,
// denormals, zeros as well as ordinary values), the contract check that stops
// the run, and edits that spoil an otherwise valid array of floats.
// Reading past the end yields zeros, so every input is a complete program.
#include <stdio.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "la/Types.h"

// A broken contract is a crash for the fuzzer: it keeps the input. The line
// goes to descriptor 2 itself (a harness may have muted the stderr stream).
#define FUZZ_CHECK(condition)                                                      \
  do {                                                                             \
    if (!(condition)) {                                                            \
      dprintf(2, "contract broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                \
    }                                                                              \
  } while (0)

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t Remaining() const { return size_ - at_; }
  u8 Byte() { return at_ < size_ ? data_[at_++] : 0; }
  u16 U16() { return static_cast<u16>(Byte() | Byte() << 8); }
  u32 U32() { return static_cast<u32>(U16()) | static_cast<u32>(U16()) << 16; }
  // A value below n (0 when n is 0).
  u32 Index(u32 n) { return n == 0 ? 0 : U32() % n; }
  bool Bool() { return Byte() & 1u; }

  // A number as a hostile source gives it: one of the special values, raw
  // bits, or an ordinary value between -8 and 8.
  f32 Float() {
    static const f32 kSpecial[] = {std::numeric_limits<f32>::quiet_NaN(),
                                   std::numeric_limits<f32>::infinity(),
                                   -std::numeric_limits<f32>::infinity(),
                                   FLT_MAX,
                                   -FLT_MAX,
                                   1e30f,
                                   -1e30f,
                                   1e-40f,
                                   -1e-40f,
                                   0.0f,
                                   -0.0f,
                                   FLT_MIN,
                                   1e15f,
                                   -1e15f,
                                   1.0f,
                                   FLT_EPSILON};
    const u8 tag = Byte();
    if (tag < 16) return kSpecial[tag];
    if (tag < 32) {
      const u32 bits = U32();
      f32 v;
      std::memcpy(&v, &bits, sizeof(v));
      return v;
    }
    return static_cast<f32>(static_cast<int16_t>(U16())) / 4096.0f;
  }
  f64 Double() {
    const u8 tag = Byte();
    if (tag < 8) {
      static const f64 kSpecial[] = {std::numeric_limits<f64>::quiet_NaN(),
                                     std::numeric_limits<f64>::infinity(),
                                     -std::numeric_limits<f64>::infinity(),
                                     DBL_MAX,
                                     1e300,
                                     4.9e-324,
                                     0.0,
                                     -1e30};
      return kSpecial[tag];
    }
    return static_cast<f64>(Float());
  }

  // Up to `maxEdits` edits of floats[0 .. count): a hostile value at a
  // chosen place, or one record (of `stride` floats) copied over another, so
  // that points repeat or fall on a line.
  void Spoil(f32* floats, u32 count, u32 stride, u32 maxEdits) {
    if (count == 0) return;
    const u32 edits = Byte() % (maxEdits + 1);
    for (u32 e = 0; e < edits; ++e) {
      if (Byte() % 4 != 0 || count < 2 * stride) {
        floats[Index(count)] = Float();
      } else {
        const u32 records = count / stride;
        const u32 from = Index(records), to = Index(records);
        std::memmove(floats + to * stride, floats + from * stride, stride * sizeof(f32));
      }
    }
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// True when every one of the n floats is finite.
inline bool AllFinite(const f32* v, u32 n) {
  for (u32 i = 0; i < n; ++i)
    if (!std::isfinite(v[i])) return false;
  return true;
}
