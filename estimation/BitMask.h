#pragma once
// A set of item indices held as explicit 32-bit words: item i is bit (i & 31)
// of word i >> 5. The estimators use it for required items, inlier sets and
// the local-optimisation marks; keeping the words explicit lets callers build
// masks word by word without relying on how std::vector<bool> stores bits.
#include <vector>

#include "la/Types.h"

class BitMask {
 public:
  BitMask() = default;
  explicit BitMask(u32 bits) { Resize(bits); }

  // Holds `bits` items, all clear. Storage only grows.
  void Resize(u32 bits) {
    size_ = bits;
    words_.assign((bits + 31) >> 5, 0u);
  }
  // Number of items the mask covers.
  u32 Size() const { return size_; }
  // Whether item i is set; items beyond the size read as clear.
  bool Test(u32 i) const { return i < size_ && ((words_[i >> 5] >> (i & 31)) & 1u) != 0; }
  // Sets item i; items beyond the size are ignored.
  void Set(u32 i) {
    if (i < size_) words_[i >> 5] |= 1u << (i & 31);
  }
  // Clears item i; items beyond the size are ignored.
  void Reset(u32 i) {
    if (i < size_) words_[i >> 5] &= ~(1u << (i & 31));
  }
  // Clears every item, keeping the size.
  void ClearAll() { words_.assign(words_.size(), 0u); }
  // Number of set items.
  u32 Count() const {
    u32 n = 0;
    for (const u32 w : words_) n += static_cast<u32>(__builtin_popcount(w));
    return n;
  }
  u32 WordCount() const { return static_cast<u32>(words_.size()); }
  u32* Words() { return words_.data(); }
  const u32* Words() const { return words_.data(); }

 private:
  std::vector<u32> words_;
  u32 size_ = 0;
};
