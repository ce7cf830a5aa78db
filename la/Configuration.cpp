// Lookups over the parsed configuration map.
#include "la/Configuration.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>

const std::string* ConfigFind(const Configuration& config, const std::string& key) {
  const auto it = config.lower_bound(key);
  if (it == config.end() || it->first != key) return nullptr;
  return &it->second;
}

f64 ConfigGetDouble(const Configuration& config, const std::string& key, f64 defaultValue) {
  const std::string* text = ConfigFind(config, key);
  return text ? std::atof(text->c_str()) : defaultValue;
}

i32 ConfigGetInt(const Configuration& config, const std::string& key, i32 defaultValue) {
  const std::string* text = ConfigFind(config, key);
  if (!text) return defaultValue;
  // strtoll reports what atoi would silently wrap ("4294967296" is not 0).
  errno = 0;
  const long long value = std::strtoll(text->c_str(), nullptr, 10);
  if (errno == ERANGE || value < std::numeric_limits<i32>::min() ||
      value > std::numeric_limits<i32>::max()) {
    std::fprintf(stderr, "Configuration: error: %s = %s must be a 32-bit integer, keeping %d\n",
                 key.c_str(), text->c_str(), static_cast<int>(defaultValue));
    return defaultValue;
  }
  return static_cast<i32>(value);
}

std::string ConfigGetString(const Configuration& config, const std::string& key,
                            const std::string& defaultValue) {
  const std::string* text = ConfigFind(config, key);
  return text ? *text : defaultValue;
}

bool IsNumberText(const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  std::strtod(begin, &end);
  if (end == begin) return false;
  while (*end != '\0' && std::isspace(static_cast<unsigned char>(*end))) ++end;
  return *end == '\0';
}
