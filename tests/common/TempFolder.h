#pragma once
// A fresh folder under the system's temporary directory for the files a test
// writes, removed with everything in it when the test ends.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

class TempFolder {
 public:
  TempFolder() : path_((std::filesystem::temp_directory_path() / "zevrion-XXXXXX").string()) {
    if (mkdtemp(path_.data()) == nullptr) path_.clear();
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The folder followed by '/' and the name.
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Writes a new file of that name holding `bytes`; its path. (Removed
  // first: a file cut shorter would be flushed again at every close.)
  std::string Write(const std::string& name, const std::string& bytes) const {
    const std::string file = File(name);
    std::remove(file.c_str());
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }

 private:
  std::string path_;
};
