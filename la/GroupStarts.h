#pragma once
// Grouping items by an integer key in two passes, a counting sort: count the
// items of key k into starts[k + 1] (starts[0] = 0), call GroupStarts, then
// put each item of key k at cursors[k]++.
#include <vector>

#include "la/Types.h"

// Turns the counts into each group's first index (starts.back() becomes the
// item total) and sets cursors to the groups' first indices.
inline void GroupStarts(std::vector<u32>& starts, std::vector<u32>& cursors) {
  for (size_t k = 1; k < starts.size(); ++k) starts[k] += starts[k - 1];
  cursors.assign(starts.begin(), starts.end() - 1);
}
