// The state file's per-record forms: a ring frame, a feature patch, a
// registered object and the small-image block, each written field by field.
#include <cstring>

#include "tracker/StateFileFormat.h"

using state_file::ReadEach;
using state_file::ReadRaw;
using state_file::WriteRaw;

static_assert(sizeof(IMUState) == 136 && sizeof(CameraPose) == 48 && sizeof(WarpRecord) == 48,
              "doubles and floats throughout, stored as they lie");
static_assert(sizeof(IMUDelta) == 1640 && sizeof(IMUSample) == 56, "doubles throughout");
static_assert(sizeof(LA::Vector2<float>) == 8 && sizeof(LA::AlignedVector4f) == 16 &&
                  sizeof(LA::AlignedMatrix4f) == 64,
              "floats throughout");
static_assert(sizeof(CVD::Rgb<u8>) == 3 && sizeof(LA::Vector2<float>) == 8, "packed pixels");

namespace {

// The frame's fixed blocks of three.
constexpr u32 kSlots = 3;

void WriteCorners(const FeatureGrid& grid, BinaryWriter& out) {
  out.Put(grid.corners.Size());
  for (const CornerXY& c : grid.corners) {
    out.Put(c.x);
    out.Put(c.y);
  }
  WriteRaw(grid.rowStarts, out);
}

bool ReadCorners(FeatureGrid& grid, BinaryReader& in) {
  u32 n;
  if (!in.Get(n) || !in.Fits(n, 4)) return false;
  grid.corners.Resize(n);
  for (CornerXY& c : grid.corners)
    if (!in.Get(c.x) || !in.Get(c.y)) return false;
  return ReadRaw(grid.rowStarts, in);
}

void WriteMapMatches(const std::vector<MapMatch>& list, BinaryWriter& out) {
  out.Put(static_cast<u32>(list.size()));
  for (const MapMatch& m : list) {
    out.Put(m.track);
    out.Put(m.patch);
    out.Put(m.corner);
    out.Put(m.x);
    out.Put(m.y);
    out.Put(m.px);
    out.Put(m.py);
    out.Put(m.nx);
    out.Put(m.ny);
    out.Put(m.ssd);
  }
}

bool ReadMapMatch(MapMatch& m, BinaryReader& in) {
  return in.Get(m.track) && in.Get(m.patch) && in.Get(m.corner) && in.Get(m.x) && in.Get(m.y) &&
         in.Get(m.px) && in.Get(m.py) && in.Get(m.nx) && in.Get(m.ny) && in.Get(m.ssd);
}

void WriteImageMatches(const std::vector<ImageMatch>& list, BinaryWriter& out) {
  out.Put(static_cast<u32>(list.size()));
  for (const ImageMatch& m : list) {
    out.Put(m.track);
    out.Put(m.patch);
    out.Put(m.warp);
    out.Put(m.x);
    out.Put(m.y);
  }
}

bool ReadImageMatch(ImageMatch& m, BinaryReader& in) {
  return in.Get(m.track) && in.Get(m.patch) && in.Get(m.warp) && in.Get(m.x) && in.Get(m.y);
}

// A list that must hold exactly kSlots records of T.
template <class T>
bool ReadSlots(T (&slots)[kSlots], BinaryReader& in) {
  u32 n;
  return in.Get(n) && n == kSlots && in.GetBytes(slots, sizeof(slots));
}

}  // namespace

void WriteTrackerFrame(const TrackerFrame& f, BinaryWriter& out) {
  out.Put(f.number);
  for (const CVD::Image<u8>& level : f.pyramid) WriteImage(level, out);
  WriteImage(f.colour, out);
  WriteImage(f.alignmentImage, out);
  WriteImage(f.gradientImage, out);
  out.Put(f.alignmentValue);
  out.Put(kSlots);
  out.PutBytes(f.state.record, sizeof(f.state.record));
  out.Put(kSlots);
  out.PutBytes(f.pose.slot, sizeof(f.pose.slot));
  out.PutBytes(f.lastImu, sizeof(f.lastImu));
  out.Put(f.time);
  out.PutBytes(f.delta, sizeof(f.delta));
  WriteRaw(f.samples, out);
  out.PutBytes(f.posePrior, sizeof(f.posePrior));
  for (int l = 0; l < kPyramidLevels; ++l) {
    WriteCorners(f.corners[l], out);
    WriteRaw(f.kltPixels[l], out);
    WriteRaw(f.kltNormalized[l], out);
    WriteMapMatches(f.mapMatches[l], out);
    WriteImageMatches(f.candidates[l], out);
    WriteImageMatches(f.lost[l], out);
    WriteImageMatches(f.misses[l], out);
  }
  WriteRaw(f.warps, out);
  WriteRaw(f.hypotheses, out);
  out.Put(f.inlierCount);
  out.Put(f.unsolvedCount);
  for (f32 v : {f.mapCoverage, f.imageCoverage, f.combinedCoverage, f.parallax, f.baseline,
                f.baselineRatio, f.sceneDepth})
    out.Put(v);
  for (u16 link : {f.keyFrame, f.relocalisationKeyFrame, f.nearKeyFrame, f.parallaxKeyFrame,
                   f.alignedKeyFrame, f.imuKeyFrame, f.provisionalKeyFrame})
    out.Put(link);
  out.Put(f.candidate);
  out.Put(f.rejected);
  WriteSmallImageBlock(f.small, out);
}

bool ReadTrackerFrame(TrackerFrame& f, BinaryReader& in) {
  if (!in.Get(f.number)) return false;
  for (CVD::Image<u8>& level : f.pyramid)
    if (!ReadImage(level, in)) return false;
  if (!ReadImage(f.colour, in) || !ReadImage(f.alignmentImage, in) ||
      !ReadImage(f.gradientImage, in) || !in.Get(f.alignmentValue) ||
      !ReadSlots(f.state.record, in) || !ReadSlots(f.pose.slot, in) ||
      !in.GetBytes(f.lastImu, sizeof(f.lastImu)) || !in.Get(f.time) ||
      !in.GetBytes(f.delta, sizeof(f.delta)) || !ReadRaw(f.samples, in) ||
      !in.GetBytes(f.posePrior, sizeof(f.posePrior))) {
    return false;
  }
  // Not stored: the frame's own last reading, or none (a frame without readings
  // then starts the next delta blind).
  f.lastReadingTime = LastReadingTime(f.samples, kNoReading);
  for (int l = 0; l < kPyramidLevels; ++l) {
    if (!ReadCorners(f.corners[l], in) || !ReadRaw(f.kltPixels[l], in) ||
        !ReadRaw(f.kltNormalized[l], in) || !ReadEach(f.mapMatches[l], 40, in, ReadMapMatch) ||
        !ReadEach(f.candidates[l], 20, in, ReadImageMatch) ||
        !ReadEach(f.lost[l], 20, in, ReadImageMatch) ||
        !ReadEach(f.misses[l], 20, in, ReadImageMatch)) {
      return false;
    }
  }
  if (!ReadRaw(f.warps, in) || !ReadRaw(f.hypotheses, in) || !in.Get(f.inlierCount) ||
      !in.Get(f.unsolvedCount)) {
    return false;
  }
  for (f32* v : {&f.mapCoverage, &f.imageCoverage, &f.combinedCoverage, &f.parallax, &f.baseline,
                 &f.baselineRatio, &f.sceneDepth})
    if (!in.Get(*v)) return false;
  for (u16* link : {&f.keyFrame, &f.relocalisationKeyFrame, &f.nearKeyFrame, &f.parallaxKeyFrame,
                    &f.alignedKeyFrame, &f.imuKeyFrame, &f.provisionalKeyFrame})
    if (!in.Get(*link)) return false;
  return in.Get(f.candidate) && in.Get(f.rejected) && ReadSmallImageBlock(f.small, in);
}

void WriteFeaturePatch(const FeaturePatch& p, BinaryWriter& out) {
  out.PutBytes(p.pixels, sizeof(p.pixels));
  out.Put(p.sum);
  out.Put(p.sumOfSquares);
  out.Put(p.x);
  out.Put(p.y);
  out.PutBytes(p.corners, sizeof(p.corners));
  out.Put(p.keyFrame);
  out.Put(p.feature);
  out.Put(p.level);
  out.Put(p.flags);
  out.Put(p.trackedCount);
  out.Put(p.lostCount);
  constexpr u32 kFields = 64 + 4 + 4 + 8 + 32 + 2 + 2 + 1 + 1 + 4 + 4;
  static const u8 kZeros[kStoredPatchSize - kFields] = {};
  out.PutBytes(kZeros, sizeof(kZeros));
}

bool ReadFeaturePatch(FeaturePatch& p, BinaryReader& in) {
  constexpr u32 kFields = 64 + 4 + 4 + 8 + 32 + 2 + 2 + 1 + 1 + 4 + 4;
  return in.GetBytes(p.pixels, sizeof(p.pixels)) && in.Get(p.sum) && in.Get(p.sumOfSquares) &&
         in.Get(p.x) && in.Get(p.y) && in.GetBytes(p.corners, sizeof(p.corners)) &&
         in.Get(p.keyFrame) && in.Get(p.feature) && in.Get(p.level) && in.Get(p.flags) &&
         in.Get(p.trackedCount) && in.Get(p.lostCount) && in.Skip(kStoredPatchSize - kFields);
}

void WriteTrackerObject(const TrackerObject& o, BinaryWriter& out) {
  out.Put(o.anchorKeyFrame);
  // The object's 32-bit value is its scale, bit for bit.
  u32 bits;
  std::memcpy(&bits, &o.scale, sizeof(bits));
  out.Put(bits);
  WriteRaw(o.features, out);
  WriteRaw(o.points, out);
  WriteRaw(o.transforms, out);
}

bool ReadTrackerObject(TrackerObject& o, BinaryReader& in) {
  u32 bits;
  if (!in.Get(o.anchorKeyFrame) || !in.Get(bits)) return false;
  std::memcpy(&o.scale, &bits, sizeof(bits));
  return ReadRaw(o.features, in) && ReadRaw(o.points, in) && ReadRaw(o.transforms, in);
}

void WriteSmallImageBlock(const SmallImage& small, BinaryWriter& out) {
  out.Put(small.mean);
  WriteImage(small.image, out);
  // Nine floats per interior pixel: one 36-byte record each.
  out.Put(small.gradients.Size() / 9);
  if (small.gradients.Size() > 0)
    out.PutBytes(small.gradients.Data(), sizeof(float) * 9 * (small.gradients.Size() / 9));
}

bool ReadSmallImageBlock(SmallImage& small, BinaryReader& in) {
  u32 n;
  if (!in.Get(small.mean) || !ReadImage(small.image, in) || !in.Get(n) || !in.Fits(n, 36))
    return false;
  small.gradients.Resize(9 * n);
  return n == 0 || in.GetBytes(small.gradients.Data(), 36ull * n);
}
