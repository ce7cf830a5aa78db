#pragma once
// A growable array of plain records over 32-byte-aligned storage. Elements
// are bytes: never constructed or destroyed one by one, only copied with
// memcpy. The array can also wrap memory it does not own; its first
// reallocation then replaces the foreign buffer by an owned one and leaves the
// foreign memory alone. Growth steps are chosen per use (large for arrays that
// grow all the time, small for short working lists).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <utility>

#include "la/AlignedMemory.h"
#include "la/Types.h"

template <class T>
class AlignedArray {
  static_assert(std::is_trivially_copyable<T>::value, "AlignedArray holds plain records");

 public:
  AlignedArray() = default;
  // A new owning array of exactly the source's size.
  AlignedArray(const AlignedArray& src) {
    if (src.size_ > 0) {
      data_ = AlignedAllocate<T>(src.size_);
      capacity_ = size_ = src.size_;
      std::memcpy(static_cast<void*>(data_), src.data_, sizeof(T) * size_);
    }
  }
  AlignedArray& operator=(const AlignedArray& src) {
    if (this != &src) Assign(src);
    return *this;
  }
  ~AlignedArray() { Release(); }

  u32 Size() const { return size_; }
  u32 Capacity() const { return capacity_; }
  bool Empty() const { return size_ == 0; }
  bool Owns() const { return owns_; }
  T* Data() { return data_; }
  const T* Data() const { return data_; }
  T& operator[](u32 i) { return data_[i]; }
  const T& operator[](u32 i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  T& Back() { return data_[size_ - 1]; }

  // size = n; the buffer is replaced by one of exactly n elements, without
  // keeping the content, only when n exceeds the capacity.
  void Resize(u32 n) {
    if (n > capacity_) ReplaceBuffer(n);
    size_ = n;
  }
  // As Resize, for a size that moves from call to call: a buffer that must
  // grow gets a quarter more room, so that a slightly larger n reuses it.
  void ResizeWithRoom(u32 n) {
    if (n > capacity_) ReplaceBuffer(n + std::min(n / 4, ~0u - n));
    size_ = n;
  }
  // Grows the capacity to at least n, keeping the content.
  void Reserve(u32 n) {
    if (n > capacity_) Grow(n);
  }
  void Clear() { size_ = 0; }

  // Appends a copy of e, growing by `growStep` elements when full. e may be an
  // element of this array: it is copied before the old buffer is released.
  void PushBack(const T& e, u32 growStep) {
    if (size_ == capacity_) {
      const T copy = e;
      Grow(capacity_ + growStep);
      data_[size_++] = copy;
    } else {
      data_[size_++] = e;
    }
  }
  // Named pushes of the record kinds of the engine, with their growth steps.
  void PushBack136(const T& e) {
    static_assert(sizeof(T) == 136, "record size does not match the operation");
    PushBack(e, 1000);
  }
  void PushBack48(const T& e) {
    static_assert(sizeof(T) == 48, "record size does not match the operation");
    PushBack(e, 1000);
  }
  void PushBack8(const T& e) {
    static_assert(sizeof(T) == 8, "record size does not match the operation");
    PushBack(e, 20);
  }
  void PushBack16(const T& e) {
    static_assert(sizeof(T) == 16, "record size does not match the operation");
    PushBack(e, 20);
  }
  // For lists whose callers reserve the frame's total count first.
  void PushBackReserved8(const T& e) {
    static_assert(sizeof(T) == 8, "record size does not match the operation");
    PushBack(e, 20);
  }

  // Appends n elements; when they do not fit the capacity grows by the
  // smallest multiple of n above 100000. p may point into this array.
  void Append(const T* p, u32 n) {
    if (n == 0) return;  // an empty array has no buffer to copy into
    if (size_ + n > capacity_) {
      const u32 newCapacity = capacity_ + n * (100000 / n + 1);
      if (p >= data_ && p < data_ + size_) {
        const u32 offset = static_cast<u32>(p - data_);
        Grow(newCapacity);
        p = data_ + offset;
      } else {
        Grow(newCapacity);
      }
    }
    std::memcpy(static_cast<void*>(data_ + size_), p, sizeof(T) * n);
    size_ += n;
  }
  void Append8(const T* p, u32 n) {
    static_assert(sizeof(T) == 8, "record size does not match the operation");
    Append(p, n);
  }

  // Copy-assignment: reallocates to exactly the source size when that exceeds
  // the capacity; never shares buffers.
  void Assign(const AlignedArray& src) {
    if (this == &src) return;
    Resize(src.size_);
    if (size_ > 0) std::memcpy(static_cast<void*>(data_), src.data_, sizeof(T) * size_);
  }
  void Assign64(const AlignedArray& src) {
    static_assert(sizeof(T) == 64, "record size does not match the operation");
    Assign(src);
  }

  // Points the array at foreign memory of `capacity` elements, `size` valid.
  void Wrap(T* foreign, u32 size, u32 capacity) {
    Release();
    owns_ = false;
    data_ = foreign;
    size_ = size;
    capacity_ = capacity;
  }
  // Exchanges the buffers of two arrays; never allocates.
  void Swap(AlignedArray& other) {
    std::swap(owns_, other.owns_);
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }
  // Frees an owned buffer (foreign memory is left alone); the array is then
  // empty and owning.
  void Release() {
    if (data_ && owns_) AlignedFree(data_);
    owns_ = true;
    data_ = nullptr;
    size_ = capacity_ = 0;
  }

 private:
  void ReplaceBuffer(u32 n) {
    if (data_ && owns_) AlignedFree(data_);
    owns_ = true;
    data_ = AlignedAllocate<T>(n);
    capacity_ = n;
  }

  // New buffer of `n` elements keeping the first size_ elements.
  void Grow(u32 n) {
    T* fresh = AlignedAllocate<T>(n);
    if (data_ && size_ > 0) std::memcpy(static_cast<void*>(fresh), data_, sizeof(T) * size_);
    if (data_ && owns_) AlignedFree(data_);
    owns_ = true;
    data_ = fresh;
    capacity_ = n;
  }

  bool owns_ = true;
  T* data_ = nullptr;
  u32 size_ = 0;
  u32 capacity_ = 0;
};

template <class T>
inline void AssignAlignedArray136(AlignedArray<T>& dst, const AlignedArray<T>& src) {
  static_assert(sizeof(T) == 136, "136-byte records");
  dst.Assign(src);
}
template <class T>
inline void AssignAlignedArray48(AlignedArray<T>& dst, const AlignedArray<T>& src) {
  static_assert(sizeof(T) == 48, "48-byte records");
  dst.Assign(src);
}
template <class T>
inline void AssignAlignedArray16(AlignedArray<T>& dst, const AlignedArray<T>& src) {
  static_assert(sizeof(T) == 16, "16-byte records");
  dst.Assign(src);
}
template <class T>
inline void AssignAlignedArray224(AlignedArray<T>& dst, const AlignedArray<T>& src) {
  static_assert(sizeof(T) == 224, "224-byte records");
  dst.Assign(src);
}
template <class T>
inline void AssignAlignedArray4(AlignedArray<T>& dst, const AlignedArray<T>& src) {
  static_assert(sizeof(T) == 4, "4-byte elements");
  dst.Assign(src);
}

// Record stream of a binary file: u32 count (little-endian), then count raw
// records, no header, padding or checksum.
template <class T>
inline bool WriteAlignedArray(FILE* f, const AlignedArray<T>& a) {
  const u32 count = a.Size();
  if (std::fwrite(&count, sizeof(count), 1, f) != 1) return false;
  return count == 0 || std::fwrite(a.Data(), sizeof(T), count, f) == count;
}

// Reads a record stream. A missing count returns false with the array
// unchanged. A count whose records are not all in the file (checked against
// the file size before anything is allocated when the stream can seek) or a
// short read returns false with the array left empty.
template <class T>
inline bool ReadAlignedArray(FILE* f, AlignedArray<T>& a) {
  u32 count = 0;
  if (std::fread(&count, sizeof(count), 1, f) != 1) return false;
  const long here = std::ftell(f);
  bool seekable = false;
  if (here >= 0 && std::fseek(f, 0, SEEK_END) == 0) {
    const long end = std::ftell(f);
    seekable = std::fseek(f, here, SEEK_SET) == 0 && end >= here;
    if (seekable && static_cast<unsigned long long>(end - here) <
                        static_cast<unsigned long long>(count) * sizeof(T)) {
      a.Clear();
      return false;
    }
  }
  if (seekable) {
    a.Resize(count);
    if (count > 0 && std::fread(a.Data(), sizeof(T), count, f) != count) {
      a.Clear();
      return false;
    }
    return true;
  }
  // A pipe cannot be measured: grow with the data actually read. Records
  // that will not fit wrapped memory go to an owned buffer from the first
  // chunk on, as the seekable path's Resize does; the foreign memory is left
  // alone.
  if (!a.Owns() && count > a.Capacity()) a.Release();
  a.Clear();
  constexpr u32 kChunk = 4096;
  for (u32 done = 0; done < count;) {
    const u32 n = count - done < kChunk ? count - done : kChunk;
    a.Reserve(done + n);
    a.Resize(done + n);
    if (std::fread(a.Data() + done, sizeof(T), n, f) != n) {
      a.Clear();
      return false;
    }
    done += n;
  }
  a.Resize(count);
  return true;
}

template <class T>
inline bool ReadAlignedArray136(FILE* f, AlignedArray<T>& a) {
  static_assert(sizeof(T) == 136, "136-byte records");
  return ReadAlignedArray(f, a);
}
