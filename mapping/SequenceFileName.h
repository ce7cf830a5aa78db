#pragma once
// File names of numbered image sequences and the directory / file parts of a
// path. Both '/' and '\\' separate directories, so project files written on
// either platform resolve the same way.
#include <string>

#include "la/Types.h"

// Name of frame `number` of a sequence: the last run of digits in the file
// part of `pattern` plus `number`, zero-padded to the run's length ("0000.jpg"
// and 12 give "0012.jpg", "pic099.pgm" and 1000 give "pic1099.pgm"); without
// digits the number goes in front of the file part ("img.png", 7: "7img.png").
void MakeSequenceFileName(std::string& name, const std::string& pattern, u32 number);
// The path up to and including its last '/' or '\\'; empty when it has none.
std::string GetDirectory(const std::string& path);
// The part of the path after its last '/' or '\\'; the whole path when none.
std::string GetFileName(const std::string& path);
