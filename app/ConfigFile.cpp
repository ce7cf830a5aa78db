#include "app/ConfigFile.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

bool LoadConfigFile(Configuration& config, const std::string& path) {
  config.clear();
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return false;
  // A directory opens for reading here; its reads fail.
  struct stat info;
  if (fstat(fileno(f), &info) != 0 || S_ISDIR(info.st_mode)) {
    std::fclose(f);
    return false;
  }
  // Lines longer than the buffer arrive as several pieces, each read as a line.
  char buffer[512];
  while (std::fgets(buffer, sizeof(buffer), f) != nullptr) {
    // Files written with CR LF line ends read as if written with LF.
    size_t length = std::strlen(buffer);
    if (length >= 2 && buffer[length - 2] == '\r' && buffer[length - 1] == '\n') {
      buffer[length - 2] = '\n';
      buffer[--length] = '\0';
    }
    std::string line;
    line.reserve(length);
    for (size_t i = 0; i < length; ++i) {
      if (buffer[i] != ' ' && buffer[i] != '\n') line.push_back(buffer[i]);
    }
    if (line.size() < 2 || line.compare(0, 2, "//") == 0) continue;
    // Runs of '=' separate tokens and leading ones are skipped; the value is
    // the text up to the next '='.
    const size_t keyBegin = line.find_first_not_of('=');
    if (keyBegin == std::string::npos) continue;
    const size_t keyEnd = line.find('=', keyBegin);
    if (keyEnd == std::string::npos) continue;
    const size_t valueBegin = line.find_first_not_of('=', keyEnd);
    if (valueBegin == std::string::npos) continue;
    const size_t valueEnd = line.find('=', valueBegin);
    config.emplace(line.substr(keyBegin, keyEnd - keyBegin),
                   line.substr(valueBegin, valueEnd == std::string::npos ? std::string::npos
                                                                         : valueEnd - valueBegin));
  }
  const bool read = !std::ferror(f);
  std::fclose(f);
  if (!read) {
    config.clear();
    return false;
  }
  std::printf("Loaded '%s'\n", path.c_str());
  return true;
}
