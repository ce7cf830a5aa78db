#pragma once
// How the robust loops see a data class: its item count and how a subset of
// its items is gathered into a second data object (local optimisation and the
// final steps). The default asks the data class for `Size()` and a static
// `GetSubset(source, list, destination)`; a data class that needs more (the
// camera data also carries its MSE factor into the subset, the grouped 2-D
// similarity data copies whole observation ranges) specialises this template
// in its own header, before any loop is instantiated over it:
//
//   template <> struct EstimatorDataTraits<CameraEstimatorData> {
//     static u32 Size(const CameraEstimatorData& d) { ... }
//     template <class Index>
//     static void GetSubset(const CameraEstimatorData& src, const std::vector<Index>& list,
//                           CameraEstimatorData& dst) { ... }
//   };
#include <vector>

#include "la/Types.h"

template <class Data>
struct EstimatorDataTraits {
  // Number of items (matches, points) in the data set.
  static u32 Size(const Data& data) { return static_cast<u32>(data.Size()); }
  // Makes `destination` a self-contained data set of the listed items, in list
  // order.
  template <class Index>
  static void GetSubset(const Data& source, const std::vector<Index>& list, Data& destination) {
    Data::GetSubset(source, list, destination);
  }
};
