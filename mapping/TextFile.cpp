#include "mapping/TextFile.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// from_chars does not take the leading '+' that scanf accepts.
template <class T>
const char* ParseNumber(const char* first, const char* last, T& value) {
  const char* p = first;
  if (p < last && *p == '+') ++p;
  if (p < last && (*p == '+' || *p == '-') && p != first) return nullptr;  // "+-1"
  const auto [end, ec] = std::from_chars(p, last, value);
  if (ec != std::errc()) return nullptr;
  return end;
}

}  // namespace

bool TextCursor::Open(const std::string& fileName) {
  FILE* f = std::fopen(fileName.c_str(), "rb");
  if (!f) return false;
  std::string text;
  char chunk[65536];
  bool ok = true;
  for (;;) {
    const std::size_t n = std::fread(chunk, 1, sizeof(chunk), f);
    text.append(chunk, n);
    if (n < sizeof(chunk)) {
      ok = std::ferror(f) == 0;
      break;
    }
  }
  std::fclose(f);
  if (!ok) return false;
  text_ = std::move(text);
  pos_ = 0;
  return true;
}

bool TextCursor::ReadLine(std::string_view& line) {
  if (pos_ >= text_.size()) return false;
  std::size_t end = text_.find('\n', pos_);
  const std::size_t next = end == std::string::npos ? text_.size() : end + 1;
  if (end == std::string::npos) end = text_.size();
  if (end > pos_ && text_[end - 1] == '\r') --end;
  line = std::string_view(text_).substr(pos_, end - pos_);
  pos_ = next;
  return true;
}

bool TextCursor::SkipToTag(const char* tag) {
  std::string_view line;
  while (ReadLine(line)) {
    if (line.find(tag) != std::string_view::npos) return true;
  }
  return false;
}

void TextCursor::SkipSpace() {
  while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
}

template <class T>
bool TextCursor::Next(T& value) {
  SkipSpace();
  const char* first = text_.data() + pos_;
  const char* end = ParseNumber(first, text_.data() + text_.size(), value);
  if (!end) return false;
  pos_ += static_cast<std::size_t>(end - first);
  return true;
}

bool TextCursor::NextInt(int& value) {
  return Next(value);
}
bool TextCursor::NextFloat(float& value) {
  return Next(value);
}

bool TextCursor::Expect(const char* literal) {
  SkipSpace();
  const std::size_t n = std::strlen(literal);
  if (text_.compare(pos_, n, literal) != 0) return false;
  pos_ += n;
  return true;
}

bool ParseInt(std::string_view text, int& value) {
  const char* p = text.data();
  const char* last = p + text.size();
  while (p < last && IsSpace(*p)) ++p;
  return ParseNumber(p, last, value) != nullptr;
}

std::size_t ParseNumbers(std::string_view line, double* values, std::size_t max) {
  const char* p = line.data();
  const char* last = p + line.size();
  std::size_t count = 0;
  while (count < max) {
    while (p < last && IsSpace(*p)) ++p;
    const char* end = ParseNumber(p, last, values[count]);
    if (!end) break;
    p = end;
    ++count;
  }
  return count;
}

namespace {

locale_t CLocale() {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return c;
}

}  // namespace

ScopedCLocale::ScopedCLocale() : previous_(uselocale(CLocale())) {}
ScopedCLocale::~ScopedCLocale() {
  uselocale(previous_);
}
