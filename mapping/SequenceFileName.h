#pragma once
// File names of numbered image sequences and the directory / file parts of a
// path. Both '/' and '\\' separate directories, so project files written on
// either platform resolve the same way.
#include <string>
#include <utility>

#include "la/Types.h"

// Name of frame `number` of a sequence: the last run of digits in the file
// part of `pattern` plus `number`, zero-padded to the run's length ("0000.jpg"
// and 12 give "0012.jpg", "pic099.pgm" and 1000 give "pic1099.pgm"); without
// digits the number goes in front of the file part ("img.png", 7: "7img.png").
void MakeSequenceFileName(std::string& name, const std::string& pattern, u32 number);
// The files of a numbered sequence, named only when asked for: however long
// the pattern, a sequence costs one pattern, never one name per file.
class FileSequence {
 public:
  FileSequence() = default;
  FileSequence(std::string pattern, u32 start, u32 step, u32 count)
      : pattern_(std::move(pattern)), start_(start), step_(step), count_(count) {}

  u32 Count() const { return count_; }
  // Name of file i (below Count()): the pattern numbered start + i step.
  void Name(u32 i, std::string& name) const {
    MakeSequenceFileName(name, pattern_, start_ + i * step_);
  }
  // The list steps over step - 1 numbers before each file: `back` from 1 to
  // Skipped() names the one that many numbers before file i (i from 1).
  u32 Skipped() const { return step_ > 0 ? step_ - 1 : 0; }
  void NameBefore(u32 i, u32 back, std::string& name) const {
    MakeSequenceFileName(name, pattern_, start_ + i * step_ - back);
  }

 private:
  std::string pattern_;
  u32 start_ = 0, step_ = 1, count_ = 0;
};

// The path up to and including its last '/' or '\\'; empty when it has none.
std::string GetDirectory(const std::string& path);
// The part of the path after its last '/' or '\\'; the whole path when none.
std::string GetFileName(const std::string& path);
