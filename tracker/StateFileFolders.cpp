// The folders of the state file and of the numbered output images, and the
// numbered copy's name. An output folder is only ever emptied after a "Y"
// typed at a terminal, and never when it holds the home or working folder.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "mapping/SequenceFileName.h"
#include "tracker/StateFile.h"

namespace fs = std::filesystem;

namespace {

// True when `folder` is `inner` or one of the folders above it.
bool Contains(const fs::path& folder, const fs::path& inner) {
  auto f = folder.begin(), i = inner.begin();
  for (; f != folder.end(); ++f, ++i) {
    // A trailing separator leaves an empty last element.
    if (f->empty()) continue;
    if (i == inner.end() || *f != *i) return false;
  }
  return true;
}

// The folder made absolute with symbolic links resolved; empty when it
// cannot be.
fs::path Resolve(const fs::path& folder) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::absolute(folder, ec), ec);
  return ec ? fs::path() : p;
}

void MakeFolder(const std::string& folder) {
  if (folder.empty()) return;
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) std::printf("Cannot create '%s'\n", folder.c_str());
}

}  // namespace

std::string StripExtension(const std::string& name) {
  const size_t dot = name.find_last_of('.');
  const size_t separator = name.find_last_of("/\\");
  // A '.' in a folder name is no extension.
  if (dot == std::string::npos || (separator != std::string::npos && dot < separator)) return name;
  return name.substr(0, dot);
}

std::string NumberedCopyName(const std::string& path, i32 frame) {
  char number[32];
  std::snprintf(number, sizeof(number), "_%04d.txt", frame);
  return StripExtension(path) + number;
}

bool IsProtectedFolder(const std::string& folder) {
  std::string trimmed = folder;
  while (!trimmed.empty() && (trimmed.back() == '/' || trimmed.back() == '\\')) trimmed.pop_back();
  if (trimmed.empty() || trimmed == "." || trimmed == "..") return true;
  const std::string last = fs::path(trimmed).filename().string();
  if (last == "." || last == "..") return true;
  const fs::path target = Resolve(trimmed);
  if (target.empty() || target == target.root_path()) return true;
  std::error_code ec;
  const fs::path working = Resolve(fs::current_path(ec));
  if (ec || working.empty() || Contains(target, working)) return true;
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') {
    const fs::path homePath = Resolve(home);
    if (homePath.empty() || Contains(target, homePath)) return true;
  }
  return false;
}

bool ReadYesAnswer(FILE* in, bool interactive) {
  if (!interactive || in == nullptr) return false;
  char word[64];
  if (std::fscanf(in, "%63s", word) != 1) return false;
  return std::strcmp(word, "Y") == 0 || std::strcmp(word, "y") == 0;
}

void StateFile::SetStateFile(const std::string& name, i32 frame) {
  request.name = name;
  request.testFrame = frame;
  if (!name.empty()) MakeFolder(GetDirectory(name));
}

void StateFile::SetOutputFolder(const std::string& prefix) {
  outputPrefix = prefix;
  if (prefix.empty()) return;
  const std::string folder = GetDirectory(prefix);
  if (folder.empty()) return;
  std::error_code ec;
  if (fs::exists(folder, ec) && !IsProtectedFolder(folder)) {
    // Without a terminal nobody can answer: the folder stays.
    const bool interactive = isatty(fileno(stdin)) != 0;
    if (interactive) {
      std::printf("Remove '%s'? (Y/N) ", folder.c_str());
      std::fflush(stdout);
    }
    if (ReadYesAnswer(stdin, interactive)) fs::remove_all(folder, ec);
  }
  MakeFolder(folder);
}
