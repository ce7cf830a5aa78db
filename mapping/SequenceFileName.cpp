#include "mapping/SequenceFileName.h"

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

std::size_t FileNameStart(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? 0 : slash + 1;
}

}  // namespace

void MakeSequenceFileName(std::string& name, const std::string& pattern, u32 number) {
  const std::size_t fileStart = FileNameStart(pattern);
  std::size_t runEnd = pattern.size();
  while (runEnd > fileStart && !IsDigit(pattern[runEnd - 1])) --runEnd;
  std::size_t runStart = runEnd;
  while (runStart > fileStart && IsDigit(pattern[runStart - 1])) --runStart;
  if (runStart == runEnd) runStart = runEnd = fileStart;  // no digits: number in front

  // Decimal addition on the digit run itself: exact for runs of any length,
  // keeps the run's zero padding, and grows by a carry when the value is
  // longer than the run. An empty run with 0 gives "0".
  std::string digits = pattern.substr(runStart, runEnd - runStart);
  if (digits.empty()) digits = "0";
  u32 carry = number;
  for (std::size_t i = digits.size(); i-- > 0 && carry > 0;) {
    const u32 sum = static_cast<u32>(digits[i] - '0') + carry % 10;
    digits[i] = static_cast<char>('0' + sum % 10);
    carry = carry / 10 + sum / 10;
  }
  if (carry > 0) digits.insert(0, std::to_string(carry));

  name.assign(pattern, 0, runStart);
  name += digits;
  name.append(pattern, runEnd, std::string::npos);
}

std::string GetDirectory(const std::string& path) {
  return path.substr(0, FileNameStart(path));
}

std::string GetFileName(const std::string& path) {
  return path.substr(FileNameStart(path));
}
