#pragma once
// The console program's configuration file: key=value lines read once into
// the configuration map.
#include <string>

#include "la/Configuration.h"

// Clears the map and fills it from the file: spaces and line ends removed,
// "//" lines and lines without a value skipped, the first occurrence of a key
// kept. Prints "Loaded '<path>'" when read. False, with the map left empty
// and nothing printed, when the file cannot be opened or read (a directory,
// say).
bool LoadConfigFile(Configuration& config, const std::string& path);
