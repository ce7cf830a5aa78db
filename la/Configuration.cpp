// Lookups over the parsed configuration map.
#include "la/Configuration.h"

#include <cctype>
#include <cstdlib>

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
  return text ? std::atoi(text->c_str()) : defaultValue;
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
