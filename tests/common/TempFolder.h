#pragma once
// A fresh folder under the system's temporary directory for the files a test
// writes, removed with everything in it when the test ends.
#include <stdlib.h>

#include <filesystem>
#include <string>

class TempFolder {
 public:
  TempFolder() {
    std::string name = (std::filesystem::temp_directory_path() / "zevrion-XXXXXX").string();
    if (mkdtemp(name.data())) path_ = name;
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The folder followed by '/' and the name.
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};
