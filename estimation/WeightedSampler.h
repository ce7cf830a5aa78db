#pragma once
// Bin-based sampling shared by the ARSAC and PARSAC sample slots of the
// estimators: a bin is a list of item indices, a cumulative table
// c_0 = 0 <= c_1 <= ... <= c_B gives bin j the probability c_(j+1) - c_j.
#include <vector>

#include "la/Types.h"

// One bin index j with c_j <= u < c_(j+1), u uniform in [0, 1] drawn from the
// engine's generator (scaled by its own maximum); u >= c_(S-1) gives the last
// bin S - 2; tables of fewer than two entries give 0.
u32 WeightedSampler(const std::vector<float>& cumulative);

// Number of bins a sample may draw from: non-empty and, when a cumulative
// table is given, of positive probability inside the table.
u32 CountUsableBins(const std::vector<std::vector<u16>>& bins,
                    const std::vector<float>* cumulative);

// Draws `count` distinct usable bins (uniformly, or by weight when a table is
// given) and one random member of each, bin and member draws alternating.
// Unusable bins are redrawn. Returns false, writing nothing, when fewer than
// `count` bins are usable, so the draw can neither divide by zero nor loop
// forever; at most 16 items. `chosen` receives the bins (count entries), `members` the items.
bool DrawBinSample(const std::vector<std::vector<u16>>& bins, const std::vector<float>* cumulative,
                   u32 count, u32* chosen, u16* members);
