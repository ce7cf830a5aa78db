#pragma once
// The tracker's log: lines go to standard output when verbose, else to the
// log file when one is open, else nowhere. Stages print through it.
#include <cstdio>
#include <string>

class TrackerLog {
 public:
  // Opens the file (mode "w") unless verbose or the name is empty; a file
  // that does not open leaves logging off.
  TrackerLog(bool verbose, const std::string& fileName);
  ~TrackerLog();
  TrackerLog(const TrackerLog&) = delete;
  TrackerLog& operator=(const TrackerLog&) = delete;

  // One formatted piece of a line.
  void Print(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // A line for the log file only (the per-frame timing line), then flushed
  // so that every frame's lines reach the disk.
  void PrintToFile(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool Verbose() const { return verbose_; }

 private:
  bool verbose_;
  FILE* file_ = nullptr;
};
