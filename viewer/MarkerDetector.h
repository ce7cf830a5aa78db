#pragma once
// Finds and follows the printed marker sheet on the ground plane. Each frame
// is warped, with the rotation of a pose prior, into the view of a virtual
// camera looking straight at the ground, where the sheet is an upright
// rectangle of known size; a few start poses are aligned coarse to fine to
// the sheet's borders (or to a stored appearance template), scored against a
// prior, and a detection is reported once 20 consecutive frames agree.
// An optional debug window shows the rectified view and the candidates.
#include <cvd/image.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "la/AlignedArray.h"
#include "la/Pose.h"
#include "la/TimerStats.h"
#include "viewer/GLTexture.h"
#include "viewer/MarkerAlignment.h"
#include "viewer/Viewer.h"

// One template point: a sheet point in the model frame (X, Y, Z, 1), its
// rectified intensity in [0, 1], its gradient and the |Laplacian| that chose
// it. Also the record of the template blob.
struct MarkerTemplateRecord {
  float X, Y, Z, one;
  float intensity, gx, gy, laplacian;
};
static_assert(sizeof(MarkerTemplateRecord) == 32, "template records are 32 bytes");

// One aligned start pose of a run: corners in rectified level-0 pixels in
// model-corner order, its energy and its distances to the expected and the
// reference corners.
struct MarkerCandidate {
  float corners[8];
  float energy;
  float expectedDistance;
  float referenceDistance;
};

// A pixel chosen for a template and its |Laplacian|.
struct LaplacianPixel {
  u16 x, y;
  float laplacian;
};

// Mean of the four distances between corresponding corners.
float MeanCornerDistance(const float a[8], const float b[8]);

class MarkerDetector : public Viewer {
 public:
  static constexpr u32 kHistorySize = 20;
  static constexpr size_t kUnknownSize = static_cast<size_t>(-1);

  // Builds the sheet model, priors, crop, pyramid and start poses for frames
  // of width x height with the given intrinsics. templateIn (templateBytes
  // long, kUnknownSize when the host does not say) selects template
  // alignment; templateOut, when set, receives captured templates. The debug
  // window opens only when asked for (and when a display exists).
  MarkerDetector(u16 width, u16 height, const Intrinsic* intrinsic, const void* templateIn,
                 size_t templateBytes, std::vector<int32_t>* templateOut, bool debugWindow = false);
  ~MarkerDetector() override;

  // Processes one frame with the rotation of prior; true when out holds the
  // sheet's corners in frame pixels (model-corner order) from a detection
  // that has been stable over 20 frames.
  bool Run(const CVD::BasicImage<unsigned char>& frame, const CameraPose& prior, float out[8]);
  // Empties the history and restarts the frame count.
  void Reset();

  // Reads a template blob; false (no level loaded, template-free alignment)
  // when a count is negative, not a multiple of 8, larger than its level or
  // runs past the blob.
  bool LoadTemplate(const void* blob, size_t bytes);
  // Captures a template seen by the pose into templateOut.
  void SampleMarkerTexture(const CameraPose& pose);
  // Pixels of the level with |Laplacian| >= 0.05 in row-major order.
  static void SelectLaplacianPixels(const CVD::BasicImage<float>& level,
                                    std::vector<LaplacianPixel>& out);
  // Projects the model corners; false when one is behind the camera or
  // outside [1, width - 3] x [1, height - 3].
  bool ProjectCorners(const CVD::ImageRef& levelSize, const Intrinsic& K, const CameraPose& pose,
                      float out[8]) const;
  // Records an accepted detection in the 20-slot ring.
  void AddToHistory(const CameraPose& pose, const float corners[8]);
  // RMS distance of the recorded corners from their mean, in pixels.
  float ComputeHistoryVariance() const;
  // Aligns the model to the four clicked corners and captures a template.
  void PoseFromClickedCorners();

  // Warps the frame into rectified level 0 and sets the homography (level-0
  // pixel to frame pixel); false when the prior's rotation gives no warp.
  bool RectifyFrame(const CVD::BasicImage<unsigned char>& frame, const CameraPose& prior);
  // In-place separable 5-tap Gaussian (two-pixel border left as the passes leave it).
  static void SmoothLevel(CVD::BasicImage<float>& level);
  // Sobel sums times 0.25 on rows 1 .. height - 3, columns 1 .. width - 2.
  static void ComputeGradients(const CVD::BasicImage<float>& level,
                               CVD::BasicImage<LA::Vector2<float>>& gradients);

  // Template-free alignment of pose on one level; error, FLT_MAX when the
  // start pose leaves the level. corners: rectified level-0 pixels.
  float AlignHypothesis(int level, CameraPose& pose, float corners[8]);
  // Alignment against the level's template records with a gain and bias.
  float AlignHypothesisToTemplate(int level, CameraPose& pose, float corners[8]);
  // True when the sheet's diagonals read dark (mean below 0.7).
  bool SampleDiagonals(int level, const CameraPose& pose) const;
  // Border cost of a pose (196 samples, two residuals each: uniform along
  // the border, a unit step across it read half a pixel either side).
  float ComputeEdgeCost(int level, const CameraPose& pose, bool dark) const;
  // Gauss-Newton system of the border cost: A (6x6, full), g = -J r.
  void BuildEdgeNormalEquations(int level, const CameraPose& pose, float A[6][6], float g[6],
                                bool dark) const;
  // Mean squared template residual; FLT_MAX when no record falls on the level.
  float ComputeTemplateCost(int level, const CameraPose& pose, const float gainBias[2]) const;
  // Gauss-Newton system of the template cost over pose, gain and bias.
  void BuildTemplateNormalEquations(int level, const CameraPose& pose, const float gainBias[2],
                                    float A[8][8], float g[8]) const;

  // Debug window.
  void InitializeWindow();
  // Redraws, pumps events, and while paused waits for a step key or Esc.
  void Draw();
  bool OnKeyDown(int key) override;
  bool OnMouseDoubleClick(const CVD::ImageRef& position, int button) override;
  void OnResize(const CVD::ImageRef& size) override;
  // Draws the current debug view once (no swap, no events).
  void DrawScene();

  // Sheet model and priors.
  const void* templateIn = nullptr;
  std::vector<int32_t>* templateOut = nullptr;
  float markerWidth, markerHeight;
  float modelCorners[4][4];
  float expectedCorners[8];
  u16 frameWidth, frameHeight;
  u16 rectifiedWidth = 0, rectifiedHeight = 0;
  int firstRow = 0, firstColumn = 0;
  CVD::Image<float> edgeMaps[4];
  float priorWeights[6];
  Intrinsic frameIntrinsic;
  Intrinsic levelIntrinsics[kPyramidLevels];
  AlignedArray<CameraPose> hypotheses;
  // History of accepted detections.
  CameraPose lastPose;
  float referenceCorners[8];
  AlignedArray<LA::AlignedVector8f> records;
  u32 historyIndex = 0;
  float homography[3][4];
  bool templateLoaded = false;
  AlignedArray<MarkerTemplateRecord> templateLevels[kPyramidLevels];
  CVD::Image<float> levels[kPyramidLevels];
  CVD::Image<LA::Vector2<float>> gradients[kPyramidLevels];
  int frameCounter = -1;
  TimerStats timer;
  int maxIterations = 10;
  float initialDamping = 0.001f;
  float minRelativeDecrease = 0.0005f;
  float minGradient = 1e-5f;
  float minStepSquared = 1e-6f;
  // The border solver's steps go far finer: 1e-6 (metres and radians) is
  // about half a pixel at a metre, coarser than its residuals can place.
  float edgeMinStepSquared = 1e-8f;
  AlignedArray<MarkerCandidate> candidates;

  // Display state.
  u8 paused = 1, stepRequested = 0, showExpectedCorners = 1, showReference = 1, showStatus = 1;
  u32 shownCandidate = 0;
  float displayGain = 1.0f;
  u32 shownImage = 0;
  CVD::Image<float> displayImages[7];
  GLTexture textures[7];
  u8 uploaded[7] = {0, 0, 0, 0, 0, 0, 0};
  float windowToImage[2] = {1.0f, 1.0f};
  float imageToWindow[2] = {1.0f, 1.0f};
  // Corners marked by right double clicks (rectified level-0 pixels).
  float clickedCorners[4][2];
  int clickCount = 0;

 private:
  void BuildEdgeMapsAndCrop();
  void FillDisplayImage(u32 index);
  void ClearHistory();
  template <class Problem>
  float AlignDamped(Problem& problem, int level, CameraPose& pose, float corners[8]);
};
