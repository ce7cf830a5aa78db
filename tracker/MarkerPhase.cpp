#include "tracker/MarkerPhase.h"

#include <cfloat>
#include <cstdio>

#include "optimization/IMUParameters.h"

namespace {

// Reads the marker cache: four blocks, each a word count and that many
// words, kept as read. Counts are checked against what the file still holds.
void ReadTemplateCache(const std::string& path, std::vector<int32_t>& words) {
  words.clear();
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return;
  std::fseek(f, 0, SEEK_END);
  long remaining = std::ftell(f) / 4;
  std::fseek(f, 0, SEEK_SET);
  for (int block = 0; block < 4 && remaining > 0; ++block) {
    u32 count = 0;
    if (std::fread(&count, 4, 1, f) != 1) break;
    --remaining;
    words.push_back(static_cast<int32_t>(count));
    const u32 n = count <= static_cast<u32>(remaining) ? count : static_cast<u32>(remaining);
    const size_t start = words.size();
    words.resize(start + n);
    const size_t got = std::fread(words.data() + start, 4, n, f);
    words.resize(start + got);
    remaining -= static_cast<long>(got);
    if (got != count) break;
  }
  std::fclose(f);
  std::printf("Loaded '%s'\n", path.c_str());
}

bool WriteTemplateCache(const std::string& path, const std::vector<int32_t>& words) {
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  const bool written = std::fwrite(words.data(), 4, words.size(), out) == words.size();
  return std::fclose(out) == 0 && written;
}

}  // namespace

bool MarkerPhase::Run(TrackerFrame& f, const f64 posePrior[8]) {
  // The camera looks at the ground plane from the assumed height with the
  // prior's tilt.
  IMUState& s = f.state.record[kPredicted];
  const bool hasPrior = posePrior != nullptr && posePrior[7] != DBL_MAX;
  for (int i = 0; i < 4; ++i) s.quaternion[i] = hasPrior ? posePrior[i] : (i == 3 ? 1.0 : 0.0);
  s.position[0] = s.position[1] = 0.0;
  s.position[2] = IMU_INITIAL_HEIGHT;
  float scratch[32];
  PoseToCamera(s, camera_.bodyToCamera, f.pose.slot[kPredicted], scratch);
  f.state.record[kVisual] = s;
  f.pose.slot[kVisual] = f.pose.slot[kPredicted];

  if (templateFile_.empty()) return false;
  if (detector_ == nullptr) {
    ReadTemplateCache(templateFile_, template_);
    detector_ =
        std::make_unique<MarkerDetector>(camera_.width, camera_.height, &camera_.intrinsic[0],
                                         template_.empty() ? nullptr : template_.data(),
                                         template_.size() * sizeof(int32_t), &captured_, view_);
  }
  float corners[8];
  detector_->Run(f.pyramid[0], f.pose.slot[kVisual], corners);
  if (captured_.empty()) return false;
  if (WriteTemplateCache(templateFile_, captured_))
    std::printf("Saved '%s'\n", templateFile_.c_str());
  else
    std::printf("Could not write '%s'\n", templateFile_.c_str());
  captured_.clear();
  return true;
}
