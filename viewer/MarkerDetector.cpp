#include "viewer/MarkerDetector.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "estimation/CameraEstimator.h"
#include "estimation/CameraEstimatorData.h"
#include "la/Homography.h"
#include "optimization/IMUParameters.h"

namespace {

constexpr float kTurnVariance = 0.030461742f;  // (10 degrees)^2
constexpr float kTiltVariance = 0.00084615947f;
constexpr float kHeightVariance = 1.0f / 36.0f;

// Probability map of one sheet edge over the frame: 1 - prod (1 - exp(-q / 2))
// over the edge samples, q the Mahalanobis form of the pixel offset.
void EdgeProbabilityMap(const std::vector<float>& samples, int width, int height,
                        CVD::Image<float>& map) {
  map.resize(CVD::ImageRef(width, height));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      float keep = 1.0f;
      for (size_t i = 0; i < samples.size(); i += 5) {
        const float dx = x - samples[i], dy = y - samples[i + 1];
        const float q =
            samples[i + 2] * dx * dx + 2.0f * samples[i + 3] * dx * dy + samples[i + 4] * dy * dy;
        if (q < 60.0f) keep *= 1.0f - std::exp(-0.5f * q);
      }
      map[y][x] = 1.0f - keep;
    }
  }
}

// Image position and inverse image covariance of the sheet point (X, Y, h)
// under the prior, appended as (u, v, S00, S01, S11).
void AppendEdgeSample(float X, float Y, float h, const Intrinsic& K, std::vector<float>& out) {
  const float fx = K.fx[0], fy = K.fy[0];
  float C[3][3] = {};
  C[0][0] = kTurnVariance * Y * Y + kTiltVariance * h * h + 10000.0f / (9.0f * fx * fx);
  C[0][1] = C[1][0] = -kTurnVariance * X * Y;
  C[1][1] = kTurnVariance * X * X + kTiltVariance * h * h + 10000.0f / (9.0f * fy * fy);
  C[0][2] = C[2][0] = -kTiltVariance * X * h;
  C[1][2] = C[2][1] = -kTiltVariance * Y * h;
  C[2][2] = kTiltVariance * (X * X + Y * Y) + kHeightVariance;
  const float J[2][3] = {{fx / h, 0.0f, -fx * X / (h * h)}, {0.0f, fy / h, -fy * Y / (h * h)}};
  float S[2][2];
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) {
      float s = 0.0f;
      for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) s += J[i][a] * C[a][b] * J[j][b];
      S[i][j] = s;
    }
  const double det =
      static_cast<double>(S[0][0]) * S[1][1] - static_cast<double>(S[0][1]) * S[1][0];
  float I00, I01, I11;
  if (std::fabs(det) < 2.220446e-16) {
    I00 = S[0][0] != 0.0f ? 1.0f / S[0][0] : 0.0f;
    I11 = S[1][1] != 0.0f ? 1.0f / S[1][1] : 0.0f;
    I01 = 0.0f;
  } else {
    I00 = static_cast<float>(S[1][1] / det);
    I11 = static_cast<float>(S[0][0] / det);
    I01 = static_cast<float>(-S[0][1] / det);
  }
  out.insert(out.end(), {fx * X / h + K.cx[0], fy * Y / h + K.cy[0], I00, I01, I11});
}

float CutPixel(const CVD::Image<float>& map, int x, int y) {
  if (x < 0 || y < 0 || x >= map.size().x || y >= map.size().y) return 0.0f;
  return map[y][x];
}

}  // namespace

float MeanCornerDistance(const float a[8], const float b[8]) {
  float sum = 0.0f;
  for (int k = 0; k < 4; ++k) {
    const float dx = a[2 * k] - b[2 * k], dy = a[2 * k + 1] - b[2 * k + 1];
    sum += std::sqrt(dx * dx + dy * dy);
  }
  return sum * 0.25f;
}

MarkerDetector::MarkerDetector(u16 width, u16 height, const Intrinsic* intrinsic,
                               const void* templateBlob, size_t templateBytes,
                               std::vector<int32_t>* capture, bool debugWindow)
    : frameWidth(width), frameHeight(height) {
  markerWidth = IMU_MARKER_WIDTH;
  markerHeight = IMU_MARKER_HEIGHT;
  const float h = IMU_INITIAL_HEIGHT, W = markerWidth, H = markerHeight;
  const float corners[4][2] = {{-W / 2, -H / 2}, {-W / 2, H / 2}, {W / 2, H / 2}, {W / 2, -H / 2}};
  for (int k = 0; k < 4; ++k) {
    modelCorners[k][0] = corners[k][0];
    modelCorners[k][1] = corners[k][1];
    modelCorners[k][2] = h;
    modelCorners[k][3] = 1.0f;
  }
  frameIntrinsic = *intrinsic;
  std::memset(homography, 0, sizeof(homography));
  std::memset(referenceCorners, 0, sizeof(referenceCorners));
  std::memset(clickedCorners, 0, sizeof(clickedCorners));
  std::memset(&lastPose, 0, sizeof(lastPose));

  BuildEdgeMapsAndCrop();

  // Pyramid and its intrinsics.
  Intrinsic& K0 = levelIntrinsics[0];
  float fx = frameIntrinsic.fx[0], fy = frameIntrinsic.fy[0];
  float cx = width > 1 ? (rectifiedWidth - 1) * frameIntrinsic.cx[0] / (width - 1) : 0.0f;
  float cy = height > 1 ? (rectifiedHeight - 1) * frameIntrinsic.cy[0] / (height - 1) : 0.0f;
  K0.Set(fx, fy, cx, cy);
  CVD::ImageRef size(rectifiedWidth, rectifiedHeight);
  for (int l = 0; l < kPyramidLevels; ++l) {
    if (l > 0) {
      fx *= 0.5f, fy *= 0.5f, cx *= 0.5f, cy *= 0.5f;
      levelIntrinsics[l].Set(fx, fy, cx, cy);
      size = CVD::ImageRef(size.x / 2, size.y / 2);
    }
    levels[l].resize(size);
    levels[l].fill(0.0f);
    gradients[l].resize(size);
    gradients[l].fill(LA::Vector2<float>{0.0f, 0.0f});
  }

  // Start poses: the identity turned by -6, 0 and +6 degrees about the axis.
  for (int i = 0; i < 3; ++i) {
    const float a = -0.10471976f + 0.10471976f * i;
    CameraPose pose;
    std::memset(&pose, 0, sizeof(pose));
    pose.m[0][0] = std::cos(a), pose.m[0][1] = std::sin(a);
    pose.m[1][0] = -std::sin(a), pose.m[1][1] = std::cos(a);
    pose.m[2][2] = 1.0f;
    float c[8];
    if (ProjectCorners(levels[0].size(), K0, pose, c)) hypotheses.PushBack(pose, 20);
  }
  CameraPose identity;
  std::memset(&identity, 0, sizeof(identity));
  identity.m[0][0] = identity.m[1][1] = identity.m[2][2] = 1.0f;
  for (int k = 0; k < 4; ++k) {
    expectedCorners[2 * k] = K0.fx[0] * modelCorners[k][0] / h + K0.cx[0];
    expectedCorners[2 * k + 1] = K0.fy[0] * modelCorners[k][1] / h + K0.cy[0];
  }
  lastPose = identity;

  templateIn = templateBlob;
  templateOut = capture;
  if (templateIn) {
    if (LoadTemplate(templateIn, templateBytes)) {
      // A template taken at another height is re-placed on the current plane.
      for (int l = 0; l < kPyramidLevels; ++l)
        for (u32 i = 0; i < templateLevels[l].Size(); ++i) templateLevels[l][i].Z = h;
    }
  }

  const float ffx = frameIntrinsic.fx[0], ffy = frameIntrinsic.fy[0];
  priorWeights[0] = 9.0f * ffx * ffx / 10000.0f;
  priorWeights[1] = 9.0f * ffy * ffy / 10000.0f;
  priorWeights[2] = 36.0f;
  priorWeights[3] = priorWeights[4] = 1.0f / kTiltVariance;
  priorWeights[5] = 1.0f / kTurnVariance;
  records.Reserve(kHistorySize);
  frameCounter = -1;
  timer.Reset(static_cast<int>(kHistorySize));
  for (auto& image : displayImages) {
    image.resize(CVD::ImageRef(rectifiedWidth, rectifiedHeight));
    image.fill(0.0f);
  }
  if (debugWindow) InitializeWindow();
}

MarkerDetector::~MarkerDetector() {
  // The textures die with the members; their context must be current then.
  MakeCurrent();
}

void MarkerDetector::BuildEdgeMapsAndCrop() {
  const float h = IMU_INITIAL_HEIGHT, W = markerWidth, H = markerHeight;
  std::vector<float> bottom, left;
  const int bottomCount = static_cast<int>(W / 0.01f), leftCount = static_cast<int>(H / 0.01f);
  for (int i = 0; i <= bottomCount; ++i)
    AppendEdgeSample(-W / 2 + 0.01f * i, -H / 2, h, frameIntrinsic, bottom);
  for (int j = 0; j <= leftCount; ++j)
    AppendEdgeSample(-W / 2, -H / 2 + 0.01f * j, h, frameIntrinsic, left);
  CVD::Image<float> bottomMap, leftMap;
  EdgeProbabilityMap(bottom, frameWidth, frameHeight, bottomMap);
  EdgeProbabilityMap(left, frameWidth, frameHeight, leftMap);

  firstRow = 0;
  for (int y = 0, found = 0; y < frameHeight && !found; ++y)
    for (int x = 0; x < frameWidth; ++x)
      if (bottomMap[y][x] > 0.3f) {
        firstRow = y;
        found = 1;
        break;
      }
  firstColumn = 0;
  for (int x = 0, found = 0; x < frameWidth && !found; ++x)
    for (int y = firstRow; y <= frameHeight - firstRow - 1; ++y)
      if (leftMap[y][x] > 0.3f) {
        firstColumn = x;
        found = 1;
        break;
      }
  // A crop that would leave almost nothing (an edge beyond the centre) is dropped.
  if (frameHeight - 2 * firstRow < 16) firstRow = 0;
  if (frameWidth - 2 * firstColumn < 16) firstColumn = 0;
  rectifiedHeight = static_cast<u16>(frameHeight - 2 * firstRow);
  rectifiedWidth = static_cast<u16>(((frameWidth - 2 * firstColumn + 3) / 4) * 4);

  // The width rounds up, so the cut may reach past the frame: 0 there.
  const int rw = rectifiedWidth, rh = rectifiedHeight;
  for (auto& map : edgeMaps) map.resize(CVD::ImageRef(rw, rh));
  for (int y = 0; y < rh; ++y)
    for (int x = 0; x < rw; ++x) {
      edgeMaps[0][y][x] = CutPixel(bottomMap, x + firstColumn, y + firstRow);
      edgeMaps[2][y][x] = CutPixel(leftMap, x + firstColumn, y + firstRow);
    }
  for (int y = 0; y < rh; ++y)
    for (int x = 0; x < rw; ++x) {
      edgeMaps[1][y][x] = edgeMaps[0][rh - 1 - y][x];
      edgeMaps[3][y][x] = edgeMaps[2][y][rw - 1 - x];
    }
}

void MarkerDetector::ClearHistory() {
  records.Clear();
  records.Reserve(kHistorySize);
  historyIndex = 0;
}

void MarkerDetector::Reset() {
  ClearHistory();
  frameCounter = -1;
  timer.Reset(static_cast<int>(kHistorySize));
}

bool MarkerDetector::LoadTemplate(const void* blob, size_t bytes) {
  const unsigned char* p = static_cast<const unsigned char*>(blob);
  size_t offset = 0;
  u32 counts[kPyramidLevels];
  size_t starts[kPyramidLevels];
  const char* problem = nullptr;
  for (int l = 0; l < kPyramidLevels && !problem; ++l) {
    if (bytes != kUnknownSize && bytes - offset < 4) {
      problem = "truncated count";
      break;
    }
    int32_t n;
    std::memcpy(&n, p + offset, 4);
    offset += 4;
    const size_t pixels = static_cast<size_t>(levels[l].size().x) * levels[l].size().y;
    if (n < 0 || n % 8 != 0 || static_cast<size_t>(n / 8) > pixels) {
      problem = "bad record count";
      break;
    }
    const size_t sectionBytes = static_cast<size_t>(n) * 4;
    if (bytes != kUnknownSize && bytes - offset < sectionBytes) {
      problem = "truncated records";
      break;
    }
    counts[l] = static_cast<u32>(n / 8);
    starts[l] = offset;
    offset += sectionBytes;
  }
  for (auto& level : templateLevels) level.Clear();
  templateLoaded = false;
  if (problem) {
    std::printf("Marker template rejected (%s): aligning without a template\n", problem);
    return false;
  }
  for (int l = 0; l < kPyramidLevels; ++l) {
    templateLevels[l].Resize(counts[l]);
    if (counts[l] > 0)
      std::memcpy(templateLevels[l].Data(), p + starts[l],
                  counts[l] * sizeof(MarkerTemplateRecord));
  }
  templateLoaded = true;
  return true;
}

bool MarkerDetector::ProjectCorners(const CVD::ImageRef& levelSize, const Intrinsic& K,
                                    const CameraPose& pose, float out[8]) const {
  const float maxX = static_cast<float>(levelSize.x - 3),
              maxY = static_cast<float>(levelSize.y - 3);
  for (int k = 0; k < 4; ++k) {
    const float* P = modelCorners[k];
    float c[3];
    for (int i = 0; i < 3; ++i)
      c[i] = pose.m[i][0] * P[0] + pose.m[i][1] * P[1] + pose.m[i][2] * P[2] + pose.m[i][3];
    if (!(c[2] > 0.0f)) return false;
    const float u = K.fx[0] * c[0] / c[2] + K.cx[0], v = K.fy[0] * c[1] / c[2] + K.cy[0];
    out[2 * k] = u;
    out[2 * k + 1] = v;
    if (!(u >= 1.0f && u <= maxX && v >= 1.0f && v <= maxY)) return false;
  }
  return true;
}

void MarkerDetector::AddToHistory(const CameraPose& pose, const float corners[8]) {
  lastPose = pose;
  LA::AlignedVector8f record;
  std::memcpy(record.v, corners, sizeof(record.v));
  if (records.Size() < kHistorySize) {
    records.PushBack(record, kHistorySize);
  } else {
    records[historyIndex] = record;
  }
  historyIndex = (historyIndex + 1) % kHistorySize;
  for (int i = 0; i < 8; ++i) {
    float sum = 0.0f;
    for (u32 r = 0; r < records.Size(); ++r) sum += records[r].v[i];
    referenceCorners[i] = sum / records.Size();
  }
}

float MarkerDetector::ComputeHistoryVariance() const {
  if (records.Size() == 0) return 0.0f;
  float sum = 0.0f;
  for (u32 r = 0; r < records.Size(); ++r)
    for (int i = 0; i < 8; ++i) {
      const float d = records[r].v[i] - referenceCorners[i];
      sum += d * d;
    }
  return std::sqrt(sum / (4.0f * records.Size()));
}

void MarkerDetector::SelectLaplacianPixels(const CVD::BasicImage<float>& level,
                                           std::vector<LaplacianPixel>& out) {
  out.clear();
  const int w = level.size().x, h = level.size().y;
  for (int y = 1; y <= h - 3; ++y)
    for (int x = 1; x <= w - 2; ++x) {
      const float L = 4.0f * level[y][x] - level[y][x - 1] - level[y][x + 1] - level[y - 1][x] -
                      level[y + 1][x];
      const float a = std::fabs(L);
      if (a >= 0.05f) out.push_back({static_cast<u16>(x), static_cast<u16>(y), a});
    }
}

void MarkerDetector::SampleMarkerTexture(const CameraPose& pose) {
  if (!templateOut) return;
  const float h = IMU_INITIAL_HEIGHT;
  std::printf("%d\n", frameCounter);
  for (int k = 0; k < 4; ++k) {
    const float* P = modelCorners[k];
    float c[3];
    for (int i = 0; i < 3; ++i)
      c[i] = pose.m[i][0] * P[0] + pose.m[i][1] * P[1] + pose.m[i][2] * P[2] + pose.m[i][3];
    const Intrinsic& K = levelIntrinsics[0];
    const float pixel[2] = {K.fx[0] * c[0] / c[2] + K.cx[0], K.fy[0] * c[1] / c[2] + K.cy[0]};
    float frame[2];
    ApplyHomography(homography, pixel, frame);
    std::printf("%f %f\n", frame[0], frame[1]);
  }
  std::printf("%f %f\n", markerHeight, markerWidth);
  float O[3];
  CameraCentre(pose, O);
  templateOut->clear();
  std::vector<LaplacianPixel> pixels;
  const float limitX = markerWidth / 2 - 0.03f, limitY = markerHeight / 2 - 0.03f;
  for (int l = 0; l < kPyramidLevels; ++l) {
    SelectLaplacianPixels(levels[l], pixels);
    const Intrinsic& K = levelIntrinsics[l];
    const size_t countAt = templateOut->size();
    templateOut->push_back(0);
    int32_t kept = 0;
    for (const LaplacianPixel& px : pixels) {
      const float r[3] = {(px.x - K.cx[0]) / K.fx[0], (px.y - K.cy[0]) / K.fy[0], 1.0f};
      float d[3];
      for (int k = 0; k < 3; ++k)
        d[k] = pose.m[0][k] * r[0] + pose.m[1][k] * r[1] + pose.m[2][k] * r[2];
      const float n = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
      for (float& v : d) v /= n;
      if (std::fabs(d[2]) < 1e-6f) continue;  // parallel to the sheet plane
      const float s = (h - O[2]) / d[2];
      const float P[3] = {O[0] + d[0] * s, O[1] + d[1] * s, O[2] + d[2] * s};
      if (!(std::fabs(P[0]) <= limitX && std::fabs(P[1]) <= limitY)) continue;
      const LA::Vector2<float> g = gradients[l][px.y][px.x];
      const MarkerTemplateRecord record{P[0], P[1], P[2],        1.0f, levels[l][px.y][px.x],
                                        g.x,  g.y,  px.laplacian};
      int32_t words[8];
      std::memcpy(words, &record, sizeof(words));
      templateOut->insert(templateOut->end(), words, words + 8);
      ++kept;
    }
    (*templateOut)[countAt] = 8 * kept;
  }
}

void MarkerDetector::PoseFromClickedCorners() {
  const Intrinsic& K = levelIntrinsics[0];
  CameraEstimatorData data;
  data.Resize(4);
  for (int k = 0; k < 4; ++k) {
    for (int i = 0; i < 4; ++i) data.worldPoints[k].v[i] = modelCorners[k][i];
    data.imagePoints[k].x = (clickedCorners[k][0] - K.cx[0]) / K.fx[0];
    data.imagePoints[k].y = (clickedCorners[k][1] - K.cy[0]) / K.fy[0];
  }
  data.mseFactor = K.fx[0] * K.fy[0];
  Camera camera;
  std::memset(&camera, 0, sizeof(camera));
  camera.m[0][0] = camera.m[1][1] = camera.m[2][2] = 1.0f;
  CameraOptimizer optimizer;
  optimizer.Optimize(data, camera, 2);
  CameraPose pose;
  std::memcpy(&pose, &camera, sizeof(pose));
  SampleMarkerTexture(pose);
}
