#include "tests/common/AccuracyEvaluator.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

// The next whitespace-separated token; false at the end.
bool NextToken(std::istream& in, std::string& token) {
  return static_cast<bool>(in >> token);
}

bool ParseDouble(const std::string& token, double& value) {
  const char* begin = token.c_str();
  char* end = nullptr;
  errno = 0;
  value = std::strtod(begin, &end);
  // Out of range is kept (FLT_MAX-like values mean "no pose"), text is not.
  return end != begin && *end == '\0';
}

bool ParseIndex(const std::string& token, int& value) {
  const char* begin = token.c_str();
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(begin, &end, 10);
  if (end == begin || *end != '\0' || errno == ERANGE || v < 0 || v > 0x7fffffff) return false;
  value = static_cast<int>(v);
  return true;
}

double Distance(const Centre& a, const Centre& b) {
  return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) +
                   (a[2] - b[2]) * (a[2] - b[2]));
}

// The centres of the given frames that both tracks hold.
void Pairs(const CentreTrack& estimate, const CentreTrack& truth, const std::vector<int>& frames,
           std::vector<Centre>& a, std::vector<Centre>& b) {
  a.clear();
  b.clear();
  for (int k : frames) {
    const auto e = estimate.find(k), t = truth.find(k);
    if (e == estimate.end() || t == truth.end()) continue;
    a.push_back(e->second);
    b.push_back(t->second);
  }
}

}  // namespace

bool CentreOfPoseRows(const double m[12], Centre& centre) {
  for (int i = 0; i < 12; ++i) {
    // The console writes FLT_MAX (as float, so a little under it in double)
    // for a frame without a pose.
    if (!std::isfinite(m[i]) || std::fabs(m[i]) >= 0.5 * FLT_MAX) return false;
  }
  // c = -R^T t with rows [R | t].
  for (int k = 0; k < 3; ++k) centre[k] = -(m[k] * m[3] + m[4 + k] * m[7] + m[8 + k] * m[11]);
  return std::isfinite(centre[0]) && std::isfinite(centre[1]) && std::isfinite(centre[2]);
}

bool ReadPoseFile(const std::string& path, PoseFileContents& out, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    if (error != nullptr) *error = "cannot open '" + path + "'";
    return false;
  }
  PoseFileContents contents;
  std::string token;
  while (NextToken(in, token)) {
    int index = 0;
    if (!ParseIndex(token, index)) {
      if (error != nullptr)
        *error = "'" + path + "': record " + std::to_string(contents.records) +
                 " does not start with a frame number ('" + token + "')";
      return false;
    }
    PoseRows m;
    for (int i = 0; i < 12; ++i) {
      if (!NextToken(in, token) || !ParseDouble(token, m[i])) {
        if (error != nullptr)
          *error = "'" + path + "': the pose of frame " + std::to_string(index) +
                   " is cut short or not a number";
        return false;
      }
    }
    ++contents.records;
    Centre c;
    if (CentreOfPoseRows(m.data(), c)) {
      contents.centres[index] = c;
      contents.poses[index] = m;
    }
  }
  out = std::move(contents);
  return true;
}

double MapScaleOver(const CentreTrack& estimate, const CentreTrack& truth,
                    const std::vector<int>& frames) {
  std::vector<Centre> a, b;
  Pairs(estimate, truth, frames, a, b);
  const SimilarityFit fit = FitSimilarity(a, b);
  return fit.ok && fit.scale > 0.0 ? 1.0 / fit.scale : 0.0;
}

AccuracyReport EvaluateAccuracy(const CentreTrack& estimate, const CentreTrack& truth,
                                int jumpFrame) {
  AccuracyReport r;
  r.frames = static_cast<int>(truth.size());
  std::vector<int> tracked;
  const Centre* previous = nullptr;
  for (const auto& [k, c] : truth) {
    if (previous != nullptr) r.pathLength += Distance(*previous, c);
    previous = &c;
    if (estimate.count(k) != 0) tracked.push_back(k);
  }
  r.tracked = static_cast<int>(tracked.size());
  if (r.frames > 0) r.trackedFraction = static_cast<double>(r.tracked) / r.frames;
  if (!tracked.empty()) r.firstTracked = tracked.front();

  std::vector<Centre> a, b;
  Pairs(estimate, truth, tracked, a, b);
  const SimilarityFit fit = FitSimilarity(a, b);
  if (fit.ok) {
    r.ateRms = fit.rms;
    r.atePercent = r.pathLength > 0.0 ? 100.0 * fit.rms / r.pathLength : -1.0;
    r.mapScale = fit.scale > 0.0 ? 1.0 / fit.scale : 0.0;
  }

  const size_t half = tracked.size() / 2;
  const std::vector<int> first(tracked.begin(), tracked.begin() + half);
  const std::vector<int> second(tracked.begin() + half, tracked.end());
  const double s1 = MapScaleOver(estimate, truth, first);
  const double s2 = MapScaleOver(estimate, truth, second);
  if (s1 > 0.0 && s2 > 0.0) r.scaleDrift = s2 / s1;

  r.jumpFrame = jumpFrame;
  if (jumpFrame >= 0) {
    std::vector<int> before, after;
    for (int k : tracked) (k < jumpFrame ? before : after).push_back(k);
    const double sb = MapScaleOver(estimate, truth, before);
    const double sa = MapScaleOver(estimate, truth, after);
    if (sb > 0.0 && sa > 0.0) r.scaleJump = sa / sb;
  }
  return r;
}

std::string FormatAccuracy(const AccuracyReport& r) {
  char text[1024];
  std::ostringstream out;
  std::snprintf(text, sizeof(text),
                "frames            %d\n"
                "tracked           %d (%.1f %%)\n"
                "first tracked     %d\n"
                "path length       %.4f m\n",
                r.frames, r.tracked, 100.0 * r.trackedFraction, r.firstTracked, r.pathLength);
  out << text;
  if (r.ateRms >= 0.0) {
    std::snprintf(text, sizeof(text),
                  "ATE RMS           %.2f mm (%.3f %% of the path)\n"
                  "map scale         %.4f (estimate over truth; error %+.2f %%)\n",
                  1000.0 * r.ateRms, r.atePercent, r.mapScale, 100.0 * (r.mapScale - 1.0));
    out << text;
  } else {
    out << "ATE RMS           - (fewer than three tracked frames, or no motion)\n";
  }
  if (r.scaleDrift > 0.0) {
    std::snprintf(text, sizeof(text),
                  "scale drift       %.4f (second half's map over the first's)\n", r.scaleDrift);
    out << text;
  } else {
    out << "scale drift       -\n";
  }
  if (r.jumpFrame >= 0) {
    if (r.scaleJump > 0.0) {
      std::snprintf(text, sizeof(text), "scale jump at %d  %.4f (map from it on over before it)\n",
                    r.jumpFrame, r.scaleJump);
    } else {
      std::snprintf(text, sizeof(text),
                    "scale jump at %d  - (too few tracked frames on one side)\n", r.jumpFrame);
    }
    out << text;
  }
  return out.str();
}
