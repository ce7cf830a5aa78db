#include "tracker/TrackerLog.h"

#include <cstdarg>

TrackerLog::TrackerLog(bool verbose, const std::string& fileName) : verbose_(verbose) {
  if (!verbose && !fileName.empty()) file_ = std::fopen(fileName.c_str(), "w");
}

TrackerLog::~TrackerLog() {
  if (file_ != nullptr) std::fclose(file_);
}

void TrackerLog::Print(const char* format, ...) {
  FILE* out = verbose_ ? stdout : file_;
  if (out == nullptr) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(out, format, args);
  va_end(args);
}

void TrackerLog::PrintToFile(const char* format, ...) {
  if (file_ == nullptr) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(file_, format, args);
  va_end(args);
  std::fflush(file_);
}
