#include "mapping/BinaryFile.h"

#include <algorithm>
#include <cstring>

void BinaryWriter::PutBytes(const void* p, std::size_t n) {
  if (n == 0) return;  // an empty array may have no storage at all
  if (used_ + n <= kBufferSize) {
    std::memcpy(buffer_ + used_, p, n);
    used_ += n;
    return;
  }
  Flush();
  if (n >= kBufferSize / 2) {
    if (std::fwrite(p, 1, n, f_) != n) ok_ = false;
  } else {
    std::memcpy(buffer_, p, n);
    used_ = n;
  }
}

bool BinaryWriter::Flush() {
  if (used_ > 0 && std::fwrite(buffer_, 1, used_, f_) != used_) ok_ = false;
  used_ = 0;
  return ok_;
}

BinaryReader::BinaryReader(FILE* f) : f_(f) {
  const long here = std::ftell(f);
  if (here < 0 || std::fseek(f, 0, SEEK_END) != 0) return;
  const long end = std::ftell(f);
  if (std::fseek(f, here, SEEK_SET) != 0 || end < here) return;
  measured_ = true;
  left_ = static_cast<unsigned long long>(end - here);
}

BinaryReader::~BinaryReader() {
  if (end_ > next_) std::fseek(f_, -static_cast<long>(end_ - next_), SEEK_CUR);
}

bool BinaryReader::GetBytes(void* p, std::size_t n) {
  if (n == 0) return true;  // an empty array may have no storage at all
  char* out = static_cast<char*>(p);
  const std::size_t buffered = std::min(n, end_ - next_);
  std::memcpy(out, buffer_ + next_, buffered);
  next_ += buffered;
  out += buffered;
  n -= buffered;
  if (n == 0) return true;
  if (!measured_) return std::fread(out, 1, n, f_) == n;
  if (n > left_) return false;
  if (n >= kBufferSize / 2) {
    // Large blocks go straight to their destination.
    if (std::fread(out, 1, n, f_) != n) return false;
    left_ -= n;
    return true;
  }
  const std::size_t ahead =
      static_cast<std::size_t>(std::min<unsigned long long>(kBufferSize, left_));
  if (std::fread(buffer_, 1, ahead, f_) != ahead) return false;
  left_ -= ahead;
  std::memcpy(out, buffer_, n);
  next_ = n;
  end_ = ahead;
  return true;
}

bool BinaryReader::Skip(unsigned long long n) {
  if (!Fits(n, 1)) return false;
  char chunk[4096];
  while (n > 0) {
    const std::size_t step = n < sizeof(chunk) ? static_cast<std::size_t>(n) : sizeof(chunk);
    if (!GetBytes(chunk, step)) return false;
    n -= step;
  }
  return true;
}

bool BinaryReader::Fits(unsigned long long count, unsigned long long size) const {
  if (size != 0 && count > ~0ull / size) return false;
  return count * size <= (measured_ ? Left() : kUnmeasuredLimit);
}

bool BinaryReader::Admits(unsigned long long count, unsigned long long size,
                          unsigned long long memorySize) const {
  if (!Fits(count, size)) return false;
  if (measured_) return true;
  return memorySize == 0 || count <= kUnmeasuredLimit / memorySize;
}

unsigned long long BinaryReader::Step(unsigned long long count,
                                      unsigned long long memorySize) const {
  if (measured_) return count;
  const unsigned long long most = memorySize == 0 ? count : kUnmeasuredStep / memorySize;
  return std::min(count, std::max(most, 1ull));
}

bool BinaryReader::GetLine(std::string& line, std::size_t maxLength) {
  line.clear();
  while (line.size() < maxLength) {
    char c;
    if (!Get(c)) return !line.empty();
    line.push_back(c);
    if (c == '\n') return true;
  }
  return false;
}
