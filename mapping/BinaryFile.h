#pragma once
// Little-endian binary streams of the map files, written and read field by
// field. The writer collects small fields in a buffer and hands large blocks
// straight to the stream; the reader knows how many bytes the stream still
// holds, so a count read from a file is checked before anything is allocated
// for it. A stream that cannot seek is not measured: there a count is judged
// by the bytes it claims and by the memory it asks for, and storage grows
// with the bytes that arrive rather than with the count.
#include <cvd/image.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "la/Types.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the map files are little-endian");

class BinaryWriter {
 public:
  explicit BinaryWriter(FILE* f) : f_(f) {}
  ~BinaryWriter() { Flush(); }
  BinaryWriter(const BinaryWriter&) = delete;
  BinaryWriter& operator=(const BinaryWriter&) = delete;

  // Appends one scalar (or raw record) as its bytes.
  template <class T>
  void Put(const T& value) {
    PutBytes(&value, sizeof(T));
  }
  // Appends n bytes.
  void PutBytes(const void* p, std::size_t n);
  // Writes out the buffer; false when any write so far failed.
  bool Flush();

 private:
  static constexpr std::size_t kBufferSize = 1 << 16;
  FILE* f_;
  std::size_t used_ = 0;
  bool ok_ = true;
  char buffer_[kBufferSize];
};

class BinaryReader {
 public:
  // A stream that cannot seek is not measured: a block may then claim at
  // most kUnmeasuredLimit bytes of the stream and of memory.
  static constexpr unsigned long long kUnmeasuredLimit = 1ull << 28;
  // Bytes of storage made ahead of the data on an unmeasured stream.
  static constexpr unsigned long long kUnmeasuredStep = 1ull << 16;

  // Measures the bytes from the current position to the end when it can.
  explicit BinaryReader(FILE* f);
  // Hands bytes read ahead back to the stream, so that it stands right
  // after the last byte taken.
  ~BinaryReader();
  BinaryReader(const BinaryReader&) = delete;
  BinaryReader& operator=(const BinaryReader&) = delete;

  // Reads one scalar (or raw record); false at a short read.
  template <class T>
  bool Get(T& value) {
    if (sizeof(T) <= end_ - next_) {
      std::memcpy(&value, buffer_ + next_, sizeof(T));
      next_ += sizeof(T);
      return true;
    }
    return GetBytes(&value, sizeof(T));
  }
  // Reads exactly n bytes; false at a short read.
  bool GetBytes(void* p, std::size_t n);
  // Reads n plain records into v, which grows a Step at a time: on an
  // unmeasured stream a count that the bytes do not back costs no more than
  // about twice the bytes that came.
  template <class T>
  bool GetRecords(std::vector<T>& v, unsigned long long n) {
    v.clear();
    return AppendRecords(v, n);
  }
  // As GetRecords, after the records v already holds.
  template <class T>
  bool AppendRecords(std::vector<T>& v, unsigned long long n) {
    const std::size_t before = v.size();
    for (unsigned long long done = 0; done < n;) {
      const unsigned long long step = Step(n - done, sizeof(T));
      v.resize(before + done + step);
      if (!GetBytes(v.data() + before + done, sizeof(T) * step)) return false;
      done += step;
    }
    return true;
  }
  // Skips n bytes; false when they are not there.
  bool Skip(unsigned long long n);
  // True when count records of `size` bytes can still follow.
  bool Fits(unsigned long long count, unsigned long long size) const;
  // True when count records of `size` bytes can still follow and, on an
  // unmeasured stream, their storage of `memorySize` bytes each stays
  // within kUnmeasuredLimit.
  bool Admits(unsigned long long count, unsigned long long size,
              unsigned long long memorySize) const;
  // How many of `count` records of `memorySize` bytes to make room for
  // before reading them: all on a measured stream (their bytes are there),
  // at least one and at most kUnmeasuredStep bytes' worth otherwise.
  unsigned long long Step(unsigned long long count, unsigned long long memorySize) const;
  bool Measured() const { return measured_; }
  // Bytes of the stream not yet taken (buffered ones included); meaningful
  // on a measured stream only.
  unsigned long long Left() const { return left_ + (end_ - next_); }
  // Reads up to and including the next '\n' (kept) or the end of the
  // stream; false when not a byte could be read or the line would exceed
  // maxLength bytes.
  bool GetLine(std::string& line, std::size_t maxLength);

 private:
  FILE* f_;
  bool measured_ = false;
  unsigned long long left_ = 0;  // in the stream, beyond the buffer
  // Read-ahead of a measured stream; small fields come from here.
  static constexpr std::size_t kBufferSize = 1 << 16;
  std::size_t next_ = 0, end_ = 0;
  char buffer_[kBufferSize];
};

// An image as its width and height (i32 each) and, when neither is zero, its
// rows back to back.
template <class Pixel>
void WriteImage(const CVD::Image<Pixel>& image, BinaryWriter& out) {
  const i32 w = image.size().x, h = image.size().y;
  out.Put(w);
  out.Put(h);
  // An Image's rows follow one another without gaps.
  if (w != 0 && h != 0) out.PutBytes(image.data(), sizeof(Pixel) * w * h);
}

// A zero side leaves the image empty; a negative side, more pixels than
// libCVD counts (int) or than the stream holds is refused.
template <class Pixel>
bool ReadImage(CVD::Image<Pixel>& image, BinaryReader& in) {
  i32 w, h;
  if (!in.Get(w) || !in.Get(h) || w < 0 || h < 0) return false;
  if (w == 0 || h == 0) {
    image = CVD::Image<Pixel>();
    return true;
  }
  const u64 pixels = static_cast<u64>(w) * static_cast<u64>(h);
  if (pixels > 0x7FFFFFFF || !in.Admits(pixels, sizeof(Pixel), sizeof(Pixel))) return false;
  if (in.Measured()) {
    image.resize(CVD::ImageRef(w, h));
    return in.GetBytes(image.data(), sizeof(Pixel) * pixels);
  }
  // An unmeasured stream may end early: the image is made only once its
  // bytes have arrived.
  std::vector<Pixel> staged;
  if (!in.GetRecords(staged, pixels)) return false;
  image.resize(CVD::ImageRef(w, h));
  std::memcpy(image.data(), staged.data(), sizeof(Pixel) * pixels);
  return true;
}
