#pragma once
// Reading and writing of the engine's text files. A reader holds the whole
// file in memory, so lines may be of any length ("\n" or "\r\n") and every
// count a file claims can be checked against the bytes that are left. Numbers
// are read like scanf's "%d" and "%f" (any white space, line ends included,
// before a number) and are independent of the process locale, as are the
// writers' numbers inside a ScopedCLocale.
#include <locale.h>

#include <cstddef>
#include <string>
#include <string_view>

class TextCursor {
 public:
  TextCursor() = default;
  explicit TextCursor(std::string text) : text_(std::move(text)) {}

  // Reads the whole file; false when it cannot be opened or read.
  bool Open(const std::string& fileName);
  // The next line without its end; false at the end of the text.
  bool ReadLine(std::string_view& line);
  // Reads lines up to and including the first that contains `tag`; false
  // when the text ends first.
  bool SkipToTag(const char* tag);
  // The next number after any white space; false (position kept past the
  // white space) when none parses there or it is out of range.
  bool NextInt(int& value);
  bool NextFloat(float& value);
  // Skips white space and consumes `literal` when it follows; false (nothing
  // consumed but the white space) otherwise.
  bool Expect(const char* literal);
  // Bytes not consumed yet.
  std::size_t Left() const { return text_.size() - pos_; }

 private:
  void SkipSpace();
  template <class T>
  bool Next(T& value);

  std::string text_;
  std::size_t pos_ = 0;
};

// Parses up to `max` leading numbers of a line as sscanf("%lf %lf ...") would;
// returns how many were read.
std::size_t ParseNumbers(std::string_view line, double* values, std::size_t max);
// Parses an integer after leading white space, as sscanf("%d") would.
bool ParseInt(std::string_view text, int& value);

// Makes this thread format and parse numbers in the "C" locale until the end
// of the scope, so files are the same whatever locale a host program set.
class ScopedCLocale {
 public:
  ScopedCLocale();
  ~ScopedCLocale();
  ScopedCLocale(const ScopedCLocale&) = delete;
  ScopedCLocale& operator=(const ScopedCLocale&) = delete;

 private:
  locale_t previous_;
};
