#pragma once
// Estimator layer that samples by image bins: the image is cut into a grid of
// bins, and a sample takes m distinct non-empty bins and one item of each, so
// that samples spread over the image. Owners that use it fill `bins` (item
// indices per bin) from the tables built by BuildBinTables; the slot draws
// with DrawBinSample (WeightedSampler.h).
#include <vector>

#include "estimation/Estimator.h"
#include "la/LinearAlgebra.h"

template <class Data, class MinimalSample, class NonMinimalSample, class Model, class Solver,
          class Optimizer, class Index>
class EstimatorArsac
    : public Estimator<Data, MinimalSample, NonMinimalSample, Model, Solver, Optimizer, Index> {
 public:
  using Base = Estimator<Data, MinimalSample, NonMinimalSample, Model, Solver, Optimizer, Index>;

  explicit EstimatorArsac(const f32& threshold) : Base(threshold) { SetGrid(10, 10); }

  // 10: m distinct bins drawn uniformly, one random member of each. False,
  // sample untouched, when fewer than m bins are non-empty.
  virtual bool GenerateMinimalSampleArsac(const Data& data,
                                          const std::vector<std::vector<Index>>& bins,
                                          MinimalSample& sample) = 0;

  // Sets the bin grid; the tables are rebuilt for the same image size when
  // they exist already.
  void SetGrid(u16 width, u16 height) {
    gridWidth = width;
    gridHeight = height;
    binCount = static_cast<u32>(width) * height;
    if (!columnTable.empty() && !rowTable.empty()) {
      BuildBinTables(static_cast<u16>(columnTable.size() - 1),
                     static_cast<u16>(rowTable.size() - 1));
    }
  }

  // Column table (W + 1 entries: bin column of each pixel column), row table
  // (H + 1 entries: first bin of each pixel row's bin row) and bin centres,
  // for an image of W x H pixels.
  void BuildBinTables(u16 width, u16 height) {
    if (gridWidth == 0 || gridHeight == 0) return;
    columnTable.assign(static_cast<size_t>(width) + 1, 0u);
    rowTable.assign(static_cast<size_t>(height) + 1, 0u);
    const f32 bw = static_cast<f32>(width) / gridWidth;
    const f32 bh = static_cast<f32>(height) / gridHeight;
    FillTable(columnTable, bw, gridWidth, 1);
    FillTable(rowTable, bh, gridHeight, gridWidth);
    binCentres.resize(binCount);
    f32 y = 0.5f * bh;
    for (u32 l = 0; l < gridHeight; ++l, y += bh) {
      f32 x = 0.5f * bw;
      for (u32 k = 0; k < gridWidth; ++k, x += bw) binCentres[l * gridWidth + k] = {x, y};
    }
  }

  u32 binCount = 100;
  u16 gridWidth = 10;
  u16 gridHeight = 10;
  std::vector<u32> columnTable;
  std::vector<u32> rowTable;
  std::vector<LA::Vector2<f32>> binCentres;
  std::vector<std::vector<Index>> bins;

 private:
  // Entries rnd(k step) .. rnd((k + 1) step) - 1 hold k * multiplier.
  static void FillTable(std::vector<u32>& table, f32 step, u32 count, u32 multiplier) {
    f32 start = 0.0f;
    for (u32 k = 0; k < count; ++k) {
      const f32 end = start + step;
      const u32 from = static_cast<u32>(start + 0.5f);
      u32 to = static_cast<u32>(end + 0.5f);
      if (to > table.size()) to = static_cast<u32>(table.size());
      for (u32 i = from; i < to; ++i) table[i] = k * multiplier;
      start = end;
    }
  }
};
