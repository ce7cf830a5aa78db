#include "mapping/BinaryFile.h"

#include <cstring>

void BinaryWriter::PutBytes(const void* p, std::size_t n) {
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

bool BinaryReader::GetBytes(void* p, std::size_t n) {
  if (measured_ && n > left_) return false;
  if (n > 0 && std::fread(p, 1, n, f_) != n) return false;
  if (measured_) left_ -= n;
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
  return count * size <= (measured_ ? left_ : kUnmeasuredLimit);
}

bool BinaryReader::GetLine(std::string& line, std::size_t maxLength) {
  line.clear();
  while (line.size() < maxLength) {
    char c;
    if (!GetBytes(&c, 1)) return !line.empty();
    line.push_back(c);
    if (c == '\n') return true;
  }
  return false;
}
