#include "mapping/Calibration.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "mapping/TextFile.h"
#include "optimization/IMUAlgebra.h"

namespace {

constexpr double kDefaultQuaternion[4] = {-0.70710678, 0.70710678, 0.0, 0.0};

// The next line that holds anything but white space; false at the end.
bool NextNonBlankLine(TextCursor& text, std::string_view& line) {
  while (text.ReadLine(line)) {
    if (line.find_first_not_of(" \t\r\v\f") != std::string_view::npos) return true;
  }
  return false;
}

bool AllFinite(const double* v, int n) {
  for (int i = 0; i < n; ++i) {
    if (!std::isfinite(v[i])) return false;
  }
  return true;
}

// The four intrinsic numbers from the first lines; false when they are
// missing or the field of view is outside (0, 180) degrees.
bool ReadIntrinsics(TextCursor& text, u16 width, u16 height, float* fxfycxcy) {
  std::string_view line;
  if (!text.ReadLine(line)) return false;
  double v[3];
  if (ParseNumbers(line, v, 3) == 3) {
    double row2[3];
    if (!text.ReadLine(line) || ParseNumbers(line, row2, 3) != 3) return false;
    text.ReadLine(line);  // 0 0 1
    fxfycxcy[0] = static_cast<float>(v[0]);
    fxfycxcy[1] = static_cast<float>(row2[1]);
    fxfycxcy[2] = static_cast<float>(v[2]);
    fxfycxcy[3] = static_cast<float>(row2[2]);
  } else {
    if (ParseNumbers(line, v, 1) != 1) return false;
    const double fov = v[0];
    if (!(fov > 0.0 && fov < 180.0)) return false;
    const float f = static_cast<float>(width / (2.0 * std::tan(fov * 0.017453292 * 0.5)));
    fxfycxcy[0] = fxfycxcy[1] = f;
    fxfycxcy[2] = (width - 1) * 0.5f;
    fxfycxcy[3] = (height - 1) * 0.5f;
  }
  return true;
}

}  // namespace

bool SetUsableIntrinsic(Intrinsic& intrinsic, float fx, float fy, float cx, float cy) {
  if (!(fx > 0.0f && fy > 0.0f)) return false;
  // A denormal focal passes the sign test, yet its reciprocal is infinite.
  Intrinsic candidate;
  candidate.Set(fx, fy, cx, cy);
  float values[sizeof(Intrinsic) / sizeof(float)];
  static_assert(sizeof(values) == sizeof(Intrinsic), "the record is floats only");
  std::memcpy(values, &candidate, sizeof(values));
  for (const float v : values) {
    if (!std::isfinite(v)) return false;
  }
  intrinsic = candidate;
  return true;
}

void Multiply3x3d(const double* A, const double* B, double* P) {
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      P[3 * r + c] = A[r] * B[c] + A[3 + r] * B[3 + c] + A[6 + r] * B[6 + c];
    }
  }
}

bool LoadCalibration(const std::string& fileName, u16 width, u16 height, Intrinsic& intrinsic,
                     double extrinsic[7], double rotation[9]) {
  TextCursor text;
  if (!text.Open(fileName)) return false;
  const auto invalid = [&fileName]() {
    std::printf("Invalid calibration file '%s'\n", fileName.c_str());
    return false;
  };
  float k[4];
  Intrinsic checked;
  if (!ReadIntrinsics(text, width, height, k) ||
      !SetUsableIntrinsic(checked, k[0], k[1], k[2], k[3])) {
    return invalid();
  }

  double e[7] = {kDefaultQuaternion[0],
                 kDefaultQuaternion[1],
                 kDefaultQuaternion[2],
                 kDefaultQuaternion[3],
                 0.0,
                 0.0,
                 0.0};
  double r[9] = {DBL_MAX, 0, 0, 0, 0, 0, 0, 0, 0};
  std::string_view line;
  if (NextNonBlankLine(text, line)) {
    double row[4];
    const std::size_t n = ParseNumbers(line, row, 4);
    if (n == 4) {
      // Three rows [R | t]; the rotation is handed out relative to the
      // default mounting, the quaternion stays the default.
      double R[9], t[3];
      for (int i = 0; i < 3; ++i) {
        if (i > 0 && (!NextNonBlankLine(text, line) || ParseNumbers(line, row, 4) != 4)) {
          return invalid();
        }
        if (!AllFinite(row, 4)) return invalid();
        R[3 * i] = row[0], R[3 * i + 1] = row[1], R[3 * i + 2] = row[2];
        t[i] = row[3];
      }
      double M[9];
      QuaternionToRotationTransposed(kDefaultQuaternion, M);
      Multiply3x3d(M, R, r);
      e[4] = t[0], e[5] = t[1], e[6] = t[2];
    } else {
      if (!AllFinite(row, static_cast<int>(n))) return invalid();
      if (n > 0) e[4] = row[0];
      if (n > 1) e[5] = row[1];
    }
  }

  intrinsic = checked;
  for (int i = 0; i < 7; ++i) extrinsic[i] = e[i];
  for (int i = 0; i < 9; ++i) rotation[i] = r[i];
  std::printf("Loaded '%s'\n", fileName.c_str());
  return true;
}
