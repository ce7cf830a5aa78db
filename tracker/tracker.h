#pragma once
// The tracker: one object that runs the whole per-frame pipeline on the
// caller's thread over a ring of at most 30 frames and a private working copy
// of the shared map, hands key frames to the background workers, and shows
// the image and the map in its window. Run is the road of one frame; the
// stages it calls are members so that they share the frame ring.
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "estimation/EssentialMatrixEstimator.h"
#include "estimation/FundamentalMatrixEstimator.h"
#include "estimation/HomographyEstimator.h"
#include "estimation/MatchSet2D.h"
#include "estimation/Point3DEstimator.h"
#include "estimation/SimilarityTransformationEstimator.h"
#include "features/ImageAlignment.h"
#include "features/KltFeatures.h"
#include "la/ClientSendingData.h"
#include "la/MutexBuffer.h"
#include "la/TimerStats.h"
#include "la/TrackMatchingData.h"
#include "mapping/GlobalMap.h"
#include "optimization/ISOProblem.h"
#include "optimization/ISOSolver.h"
#include "tracker/TrackerRecords.h"
#include "viewer/GLTexture.h"
#include "viewer/MarkerDetector.h"
#include "viewer/Viewer.h"

// Pixel map K map K^-1 of a map between normalised coordinates.
void MakePixelWarp(const Intrinsic& intrinsic, const WarpRecord& map, WarpRecord& out);
// In place: each (x, y) pair becomes ((x - cx) / fx, (y - cy) / fy).
void NormalizePointArray(const Intrinsic& intrinsic, AlignedArray<LA::Vector2<float>>& points);
// Prints one plane: index, ground flag and equation.
void PrintPlane(u16 plane, bool groundFlag, const float equation[4]);

class Tracker : public Viewer {
 public:
  enum Timer {
    kTimerFrame,
    kTimerFE,
    kTimerCT,
    kTimerIM,
    kTimerMU,
    kTimerOH,
    kTimerISO,
    kTimerCount
  };

  // --- Life cycle.
  // Tracking tracker over the shared map and the worker channels.
  Tracker(GlobalMap* map, MutexBufferPool<TrackMatchingData>* matcherPool,
          MutexBufferQueue<TrackMatchingData>* matcherQueue, MutexBufferPool<u16>* surfPool,
          MutexBufferQueue<u16>* surfQueue, MutexBufferPool<u8>* localPool,
          MutexBufferQueue<u8>* localQueue, bool parallel, bool verbose,
          const std::string& logFileName, i32 startFrame, i32 endFrame, bool imageRotation,
          bool isoWindow, bool view);
  // Map-viewing tracker: no channels, shows the map's key frames.
  explicit Tracker(GlobalMap& map);
  ~Tracker() override;
  // Empties the tracker and the map; with notifyWorkers every worker first
  // finishes a reset item.
  void Reset(bool notifyWorkers);
  // Sends the quit message and sets the stop flag.
  void Quit();
  // One frame through the whole pipeline; text (textCapacity bytes) gets the
  // two statistics lines.
  void Run(const TrackerInput& frame, const std::vector<IMUSample>& imuSamples,
           const f64 posePrior[8], CameraPose& poseOut,
           AlignedArray<LA::AlignedVector4f>& planesOut,
           AlignedArray<LA::AlignedMatrix4f>& objectsOut, float* parallaxOut, float* progressOut,
           char* text, size_t textCapacity);

  // --- Settings.
  // The server channel (both null: no server).
  void SetServerLink(MutexBufferPool<ClientSendingData>* pool,
                     MutexBufferQueue<ClientSendingData>* queue);
  // Template cache of the marker phase; empty turns the marker detector off.
  void SetMarkerTemplateFile(const std::string& path);
  // State file and the frame at which Run saves it and quits.
  void SetStateFile(const std::string& name, i32 frame);
  // Prefix of the numbered output images.
  void SetOutputFolder(const std::string& prefix);
  void SetStartFrame(i32 frame) { startFrame = frame; }
  void SetEndFrame(i32 frame) { endFrame = frame; }
  // True once Quit was called.
  bool StopRequested() const { return stopFlag != 0; }

  // --- Output and objects.
  // Pose (slot 2 when set, else slot 1), planes and objects.
  void GetOutput(CameraPose& poseOut, AlignedArray<LA::AlignedVector4f>& planesOut,
                 AlignedArray<LA::AlignedMatrix4f>& objectsOut);
  // Anchors a new object on the current frame; false when refused.
  bool RegisterObject();
  // Removes the object at that index.
  void DeregisterObject(u32 index);
  // Writes or reads the whole tracker and map state.
  bool SaveState(const std::string& path);
  bool LoadState(const std::string& path);
  // SaveState with the state-file name when it is set.
  bool SaveStateIfRequested();

  // --- Window events (slots 0 to 9 are the viewer's).
  bool OnKeyDown(int key) override;
  void OnMouseDown(const CVD::ImageRef& position, int button) override;
  void OnMouseUp(const CVD::ImageRef& position, int button) override;
  bool OnMouseDrag(const CVD::ImageRef& pressPosition, const CVD::ImageRef& position,
                   int button) override;
  bool OnMouseDoubleClick(const CVD::ImageRef& position, int button) override;
  void OnResize(const CVD::ImageRef& size) override;

  // --- Display, in slot order.
  virtual void UpdateDisplay(bool follow);
  virtual bool AddObjectFromView();
  virtual void InitializeDisplay();
  virtual void SetCurrentFrame(u16 displayIndex);
  virtual void PrintSelection(u32 track);
  virtual void SelectPlane(u16 plane, bool print);
  // Slot 16: no command is handled here.
  virtual bool HandleDisplayCommand(int command) {
    (void)command;
    return false;
  }
  virtual void DrawScene();
  virtual void DrawStatus();
  virtual void DrawKeyFrameBar();
  virtual void DrawImage();
  virtual void DrawFeatureCrosses();
  virtual void DrawCross(float x, float y, float size);
  virtual void DrawCorners();
  virtual void DrawFeatures();
  virtual void DrawMatchLines();
  virtual void DrawMatchOverlays();
  virtual void DrawMapMatches();
  virtual void DrawProjectedImageMatches();
  virtual void DrawMaskedFeatures();
  virtual void DrawFeatureList();
  virtual void DrawImageMatches();
  // Drawing primitives, 3-D view, picking and view helpers.
  virtual void DrawPoint(float x, float y);
  virtual void DrawSquare(float x, float y, float size);
  virtual void DrawPatchOutline(const FeaturePatch& patch, float x, float y);
  virtual void DrawPatchOutlineWarped(const FeaturePatch& patch, const WarpRecord& warp);
  virtual void DrawPointWarped(float x, float y, const WarpRecord& warp);
  virtual void DrawTrackPoint(u32 track, float x, float y);
  virtual void DrawTrackPointWarped(u32 track, float x, float y, const WarpRecord& warp);
  virtual void DrawTrackLine(u32 track, float x0, float y0, float x1, float y1);
  virtual void DrawTrackLineWarped(u32 track, float x0, float y0, float x1, float y1,
                                   const WarpRecord& warp);
  virtual void DrawCameras();
  virtual void DrawMapPoints();
  virtual void DrawPlanes();
  virtual void DrawObjects();
  virtual void DrawMarkerOutline();
  virtual void DrawRay(const double point[6], double length);
  virtual void DrawPointStem(u32 track, const double v[3]);
  virtual void SetupProjection();
  virtual void SetupView();
  virtual float ComputeViewScale(float a, float b);
  virtual void UpdateViewTransform();
  virtual LA::AlignedVector4f UnprojectPoint(const CVD::ImageRef& position);
  virtual LA::AlignedVector4f UnprojectAtDepth(const CVD::ImageRef& position, float depth);
  virtual void CenterView();
  virtual void UpdatePlaneGrids();
  virtual bool FilterTrack(u32 track);
  virtual bool PickMapMatch(const float click[2], const float tolerance[2],
                            const std::vector<MapMatch>& list, u32& id, float& distance);
  virtual bool PickImageMatch(const float click[2], const float tolerance[2],
                              const std::vector<ImageMatch>& list, u32& id, float& distance);
  virtual bool PickProjectedImageMatch(const float click[2], const float tolerance[2],
                                       const std::vector<ImageMatch>& list, int level, u32& id,
                                       float& distance);
  virtual bool PickMaskedFeature(const float click[2], const float tolerance[2], u16 keyFrame,
                                 int level, u32& id, float& distance);
  virtual bool PickFeature(const float click[2], const float tolerance[2], u16 keyFrame, u32& id,
                           float& distance);
  virtual bool PickTrackPoint(const float click[2], const float tolerance[2],
                              const CameraPose& pose, u32& id, float& distance);

  // --- Frame input and ring.
  void InputFrame(const TrackerInput& frame, const std::vector<IMUSample>& imuSamples,
                  const f64 posePrior[8]);
  // Takes frame r out of the ring, its samples carried into the next frame.
  void RemoveFrame(u16 r);
  // Inertial step of the start frame and the frames before it.
  void StoreImuMeasurement(u16 frame, const std::vector<IMUSample>& imuSamples,
                           const f64 posePrior[8], f64 time);
  // Inertial prediction of every later frame from previous.
  void PredictFromImu(u16 previous, u16 frame, const std::vector<IMUSample>& imuSamples,
                      const f64 posePrior[8], f64 time);
  void ChainImuDeltas(u16 previous, u16 frame, const std::vector<IMUSample>& imuSamples);
  // The ISO step; its stop code.
  i32 RunIso(u16 frame);

  // --- Key frames and hand-over.
  void PushKeyFrame(u16 frame, const float* marker, u8 mode, bool synchronous);
  void PopKeyFrame();
  void TrimKeyFrames();
  void FillTrackMatchingData(u16 frame, TrackMatchingData& item);

  // --- Neighbourhood and relocalisation choice.
  void CollectNearbyKeyFrames(u16 frame, std::vector<ScoredKeyFrame>& list, u16* nearKeyFrame,
                              u16* parallaxKeyFrame);
  void AlignToCandidateKeyFrames(u16 frame, const std::vector<ScoredKeyFrame>& list,
                                 u16* alignedKeyFrame, u16* alignedFrameOut);
  void AlignToKeyFrameList(u16 frame, const std::vector<ScoredKeyFrame>& list,
                           std::vector<u16>& out);
  // The key frame to relocalise against, or 65535.
  u16 FindRelocalisationKeyFrame(u16 frame);

  // --- Bookkeeping.
  void UpdatePatchStatistics(u16 frame);
  // Re-derives a frame's matches with the renumbering of the last pull.
  void ComputeFrameStatistics(u16 frame);
  void ComputeFrameStatistics(u16 frame, const std::vector<u32>& renumberTable);
  void UpdateFrameCounts(u16 frame, const std::vector<u32>& trackTable, u32 patchShift);
  static void NormalizeMatchPositions(const Intrinsic& intrinsic, std::vector<MapMatch>& list);
  u32 CountInlierMapMatches(u16 frame) const;
  u32 CountUnsolvedMapMatches(u16 frame) const;
  u32 CountMarkedMapMatches(u16 frame, const std::vector<u8>& marks) const;
  u32 CountKeyFrameTrackMatches(u16 frame, const std::vector<u16>& table) const;
  void MarkFrameTracks(u16 frame, std::vector<u8>& marks) const;
  u32 CountKeyFrameTracks(u16 keyFrame, u8 mask) const;
  u32 CountKeyFrameTracksWithFlags(u16 keyFrame, int level, u8 mask) const;
  void MarkKeyFrameTracks(u16 keyFrame, std::vector<u8>& marks) const;
  void MapKeyFrameTrackIndices(u16 keyFrame, std::vector<u16>& table) const;
  void CountPlaneTracks(std::vector<u32>& counts) const;
  void BuildKeyFrameMatchSet(u16 keyFrame, u16 frame, MatchSet2D& set,
                             std::vector<u32> (&trackLists)[kPyramidLevels]);
  void BuildFrameMatchSet(u16 frameA, u16 frameB, MatchSet2D& set,
                          std::vector<u32> (&lists)[kPyramidLevels]);

  // --- Coverage scores.
  float ComputeMapCoverage(u16 frame);
  float ComputeImageCoverage(u16 frame);
  float ComputeCombinedCoverage(u16 frame);
  float ComputeKeyFrameOverlap(u16 keyFrame, u16 frame);

  // --- Camera pose, initialisation and anchoring.
  bool EstimateCameraPose(u16 frame);
  void PredictPoseFromFrame(u16 referenceFrame, u16 frame);
  void RelocaliseFromKeyFrame(u16 keyFrame, u16 frame);
  void AnchorToMarker(u16 frame, const float* marker);
  bool InitializeMap(u16 frame);

  // --- Image maps between frames.
  bool AlignToPreviousFrame(u16 previous, u16 current);
  void CarryKeyFrameMaps(const std::vector<u16>& keyFrames, u16 f, u16 g);
  bool AlignKeyFrameImage(u16 keyFrame, u16 frame, float* residual);
  bool AlignFrameImage(u16 ringFrame, u16 frame);
  float CollectFrameCorrespondences(u16 ringFrame, u16 frame, AlignedArray<LA::Vector2<float>>& A,
                                    AlignedArray<LA::Vector2<float>>& B);
  float CollectKeyFrameCorrespondences(u16 keyFrame, u16 frame, AlignedArray<LA::Vector2<float>>& A,
                                       AlignedArray<LA::Vector2<float>>& B);

  // --- New points and frame measures.
  void CreateNewPoints(u16 frame);
  float ComputeParallax(u16 keyFrame, u16 frame, float* parallaxOut);
  float ComputeDistanceToKeyFrame(u16 keyFrame, u16 frame);
  float ComputeFrameRms(u16 frame, const CameraPose& pose);
  float ComputeKeyFrameRms(u16 keyFrame);
  float ComputeReprojectionRms(u16 frame, const CameraPose& pose);
  float ComputeMedianDepth(const CameraPose& pose, std::vector<float>& scratch);
  float ComputeMeanDepth(u16 frame);
  float ComputeKeyFrameMedianDepth(u16 keyFrame, const std::vector<u32>& features,
                                   std::vector<float>& scratch, float* meanOut);
  void MapToNormalised(const WarpRecord& map, WarpRecord& out);
  bool FindDominantPlaneFeatures(u16 frame, std::vector<u32>& tracks, CameraPose& anchor);
  void UpdateObjects();

  // --- Feature front end.
  void DetectFastFeatures(u16 frame);
  void DetectKltFeatures(u16 frame);
  void SpreadCorners(const CVD::ImageRef& levelSize, const std::vector<MapMatch>& matches,
                     OccupancyMask& mask, std::vector<ScoredCorner>& corners,
                     AlignedArray<LA::Vector2<float>>& out, u32 N);
  void MatchMap(u16 frame);
  void ProjectMapPoints(u16 frame);
  void SelectMatchCandidates(const CVD::ImageRef& levelSize, std::vector<ImageMatch>& candidates,
                             std::vector<ImageMatch>& selected, OccupancyMask& mask, i32 N);
  void SearchMatchPatches(u16 frame, int level, std::vector<ImageMatch>& selected, float radius);
  void RejectOutlierMatches(u16 frame, float bound);
  void RefineMatches(u16 frame);
  void SaveFrameMatches(u16 frame);
  void RestoreFrameMatches(u16 frame);
  void MatchImages(u16 alignedKeyFrame, u16* alignedFrameIo, u16 frame);
  void MatchImagesToFrame(u16 f, u16 cur, std::vector<OccupancyMask>& masks, u32& matched);
  void MatchImagesToKeyFrame(u16 k, u16 cur, std::vector<OccupancyMask>& masks, u32& matched);
  void ComputeEssentialFromPoses(const CameraPose& a, const CameraPose& b, WarpRecord& E,
                                 AlignedArray<WarpRecord>& F);
  void MakeFundamentalPyramid(const WarpRecord& E, AlignedArray<WarpRecord>& F);
  bool EstimateImageFundamental(u16 k, u16 cur, WarpRecord& E, AlignedArray<WarpRecord>& F);
  void FilterEpipolarInliers(u16 k, u16 cur, const WarpRecord& E, u32& matched);
  void MarkMatchedPoints(u16 f);
  void MatchMaximal(u16 f);
  void MatchKeyFrameImages(const std::vector<u16>& keyFrames, u16 frame);
  void AddImageMapHypothesis(const WarpRecord& keyFrameImageMap,
                             AlignedArray<WarpRecord>& hypotheses);
  void AddHomographyHypothesis(const WarpRecord& homography, AlignedArray<WarpRecord>& hypotheses);
  void AddPlaneHypotheses(u16 k, u16 cur, AlignedArray<WarpRecord>& hypotheses);
  void AddPlaneHomography(const CameraPose& keyFramePose, const CameraPose& currentPose,
                          const float plane[4], CameraPose& relativePose, float scratch[4],
                          WarpRecord& homography, AlignedArray<WarpRecord>& hypotheses);
  void DetectPlanes(u16 k, u16 cur, AlignedArray<WarpRecord>& hypotheses);
  void PruneHypotheses(u32 firstRecord, AlignedArray<WarpRecord>& hypotheses);
  u32 FindSelectedPatchOfKeyFrame(u16 keyFrame, u32 track);

  // --- State read by the tests and the host.
  u16 RingSize() const { return static_cast<u16>(frames.size()); }
  const TrackerFrame& Frame(u16 slot) const { return frames[slot]; }
  u32 KeyFrameCount() const { return static_cast<u32>(working.keyFrameFlags.size()); }
  u16 Prev(u16 i) const { return static_cast<u16>((i + frames.size() - 1) % frames.size()); }
  u16 Next(u16 i) const { return static_cast<u16>((i + 1) % frames.size()); }

  // Stop flag (the host's frame loop ends on it).
  u8 stopFlag = 0;
  // Configuration.
  u8 parallel = 0, imageRotation = 0, isoWindow = 0, view = 0, verbose = 0;
  FILE* logFile = nullptr;
  std::string logFileName, secondFileName, stateFileName, outputPrefix, markerTemplateFile;
  // Display and rotation-estimate scratch.
  CVD::Image<CVD::Rgb<u8>> displayImage;
  AlignedArray<float> rotationScratch[4];

  GlobalMap* map = nullptr;
  u16 width = 0, height = 0, smallWidth = 0, smallHeight = 0;
  Intrinsic intrinsic[5]{};
  f32 pixelVariance = 0.0f;
  f32 bounds[4] = {0, 0, 0, 0};  // normalised min x, min y, max x, max y
  u32 warpOffsets[4][4] = {};    // 1 + 2 (4a + b)
  MotionJacobianTable smallTable;

  MutexBufferPool<TrackMatchingData>* matcherPool = nullptr;
  MutexBufferQueue<TrackMatchingData>* matcherQueue = nullptr;
  MutexBufferPool<u16>* surfPool = nullptr;
  MutexBufferQueue<u16>* surfQueue = nullptr;
  MutexBufferPool<u8>* localPool = nullptr;
  MutexBufferQueue<u8>* localQueue = nullptr;
  MutexBufferPool<ClientSendingData>* serverPool = nullptr;
  MutexBufferQueue<ClientSendingData>* serverQueue = nullptr;

  TimerStats timers[kTimerCount];

  i32 startFrame = kUnsetCounter, endFrame = kUnsetCounter, testFrame = -1, frameCounter = -1;
  u32 firstKeyFrameNumber = 0xFFFFFFFF;
  i32 lastSentFrame = -1, rejectedCount = 0;
  u16 currentFrame = kNoSlot, alignedFrame = kNoSlot, newKeyFrame = kNoSlot,
      referenceFrame = kNoSlot;
  u8 tracking = 0, relocalising = 0, recovering = 0, serverFlag = 0;
  f32 initProgress = 0.0f, sceneScale = 0.0f, depthScale = 0.0f;

  CameraOffset bodyToCamera{{0, 0, 0, 1}, {0, 0, 0}};

  std::vector<TrackerFrame> frames;    // the ring, at most 30
  AlignedArray<WarpRecord> frameMaps;  // per ring slot
  MapWorkingCopy working;
  AlignedArray<FeaturePatch> patches;  // per track
  AlignedArray<LA::AlignedVector4f> keyFrameCenters;

  std::vector<TrackerObject> objects;
  std::vector<std::array<u32, 10>> keyFrameRecords;
  AlignedArray<LA::Vector2<float>> keyFramePixels, keyFrameNormalized;
  AlignedArray<WarpRecord> keyFrameMaps;
  CameraPose referencePose{};

  std::vector<u16> keyFrameMatchList;
  std::vector<ScoredKeyFrame> nearbyKeyFrames;
  std::vector<ScoredKeyFrame> candidateFrames;
  std::vector<ScoredKeyFrame> relocalisationCandidates;
  std::vector<u32> pushLists[kPyramidLevels];
  TrackerFrame savedFrame;  // SaveFrameMatches' copy
  OccupancyMask coverageMasks[kPyramidLevels];
  std::vector<u8> trackMarks;
  // Feature front end scratch: the detector's output and the KLT lists.
  std::vector<CVD::ImageRef> fastScratch;
  KltScratch kltScratch;
  // Image-map scratch: correspondences (A in the other frame, B in the
  // current one), the alignment's buffers and warped image, and per level the
  // other frame's match index of each point.
  AlignedArray<LA::Vector2<float>> pointsA, pointsB;
  AlignmentScratch alignmentScratch;
  CVD::Image<float> warpedImage;
  std::vector<u32> pointMatchIndex;
  std::vector<u8> pointPaired;

  EssentialMatrixEstimator essentialEstimator{0.5f};
  FundamentalMatrixEstimator fundamentalEstimator{0.5f};
  HomographyEstimator homographyEstimator{0.0f};
  Point3DEstimator pointEstimator{0.0f};
  SimilarityTransformationEstimator2D similarity2D{0.0f};
  SimilarityTransformationEstimator3D similarity3D{0.0f};
  ISOSolver isoSolver;
  ISOProblem isoProblem;
  ISOState isoState;

  MarkerDetector* markerDetector = nullptr;
  std::vector<int32_t> markerTemplate;    // the cache file's words
  std::vector<int32_t> capturedTemplate;  // a capture of the current run
  CVD::Image<u8> alignmentSource;         // level 3 half-sampled

  // Display state.
  u16 shownFrame = 0, shownKeyFrame = kNoSlot;
  u8 shownLevel = 0, imageView = 1;
  u32 displayMode = 0;
  GLTexture textures[2 + 2 * kPyramidLevels];

 private:
  // The construction steps shared by both constructors.
  void ConstructCommon(GlobalMap* sharedMap);
  // Pulls the map; on a change re-expresses the ring frames.
  void SynchronizeMap();
  // Ring slot of the new frame and its growth.
  void ChooseRingSlot();
  // Marker phase of the frames before the start frame.
  void RunMarkerPhase(const TrackerInput& frame, const f64 posePrior[8]);
  // Tracking phase: matching, relocalisation, image matching, ISO, scores.
  void RunTrackingPhase();
  // Rejection or candidate test of the current frame.
  void JudgeFrame();
  // Chooses newKeyFrame.
  void ChooseKeyFrame();
  // Pushes the chosen key frame and hands the frame to the matcher.
  void HandOverKeyFrame();
  void RunInitialisationPhase(const TrackerInput& frame, float* parallaxOut, float* progressOut);
  void ReportFrame(char* text, size_t textCapacity);
  // Server message for a ring slot; false when none was sent.
  bool SendMessage(i32 type, u16 slot, bool synchronous);
  // Hands the current frame to the track matcher by the hand-over rule.
  void SendToMatcher(u16 slot);
  // Aligns image (the other frame's) with frame's from the map H, with the
  // collected pairs when H is set and they are enough; restores H on failure.
  bool AlignImageMap(const CVD::BasicImage<float>& image, u16 frame, float pairResidual,
                     WarpRecord& H, float* residual);
  // The track has a point and carries INLIER.
  bool IsInlier(u32 track) const;
  // One formatted line to standard output or the log.
  void PrintLine(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool SpeedOk(u16 slot) const;
  bool IsClose(u16 a, u16 b, float radius2, float cosBound) const;
  void StartTimer(Timer t) { timers[t].Start(); }
  void StopTimer(Timer t) { timers[t].Stop(); }
};
