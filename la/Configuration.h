#pragma once
// The parsed configuration file: key text to value text, ordered by plain
// byte comparison, with typed getters that fall back to a default when a key
// is missing. Kept in the bottom library so that the console application's
// reader and the engine's parameter loaders share one type.
#include <map>
#include <string>

#include "la/Types.h"

using Configuration = std::map<std::string, std::string>;

// The value text of an exact key, or null when the key is missing.
const std::string* ConfigFind(const Configuration& config, const std::string& key);
// atof of the value text (0 for text that is not a number), or the default
// when the key is missing.
f64 ConfigGetDouble(const Configuration& config, const std::string& key, f64 defaultValue);
// The value text read as a decimal integer (0 for text that is not a
// number), or the default when the key is missing or the number does not fit
// 32 bits (with an error line on standard error).
i32 ConfigGetInt(const Configuration& config, const std::string& key, i32 defaultValue);
// The value text, or the default when the key is missing.
std::string ConfigGetString(const Configuration& config, const std::string& key,
                            const std::string& defaultValue);
// True when the text, leading and trailing blanks aside, is one number that
// strtod reads completely (so "1e-3" is, "abc" and "1.5x" are not).
bool IsNumberText(const std::string& text);
