#pragma once
// The console program's configuration file: key=value lines read once into
// the configuration map.
#include <string>

#include "la/Configuration.h"

// Clears the map and fills it from the file: spaces and line ends removed,
// "//" lines and lines without a value skipped, the first occurrence of a key
// kept. A file that cannot be opened leaves the map empty (every key takes its
// default). Prints "Loaded '<path>'" when read.
void LoadConfigFile(Configuration& config, const std::string& path);
