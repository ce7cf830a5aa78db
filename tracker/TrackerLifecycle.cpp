// Construction, reset and quit of the tracker, and the hand-over of reset
// items and messages to the workers.
#include <algorithm>
#include <boost/thread/locks.hpp>
#include <cfloat>
#include <cstdarg>
#include <cstring>

#include "tracker/tracker.h"

namespace {

const char kStarLine[] = "****************************************************************\n";

// Intrinsics of a half-sampled level: pixel x of the smaller image covers
// pixels 2x and 2x + 1 of the larger one.
void HalveIntrinsic(const Intrinsic& in, Intrinsic& out) {
  out.Set(in.fx[0] * 0.5f, in.fy[0] * 0.5f, (in.cx[0] - 0.5f) * 0.5f, (in.cy[0] - 0.5f) * 0.5f);
}

// Synchronous hand-over: take a free item, fill it, queue it and wait until
// the worker has returned every item of the pool.
template <class T, class Fill>
void HandOverSynchronously(MutexBufferPool<T>* pool, MutexBufferQueue<T>* queue, Fill fill) {
  if (pool == nullptr || queue == nullptr) return;
  T* item = pool->Get();
  fill(*item);
  queue->Put(item);
  pool->WaitFull();
}

// Key-frame records of a loaded map: per level the first patch (one patch
// per track, so the first track the key frame created on that level), the
// end, and the start of the key frame's features, which run parallel to its
// track list. A feature created its track when the id is not older than the
// key frame; features of older tracks are matches.
void BuildKeyFrameRecords(const GlobalMap& map, const MapWorkingCopy& working,
                          std::vector<std::array<u32, 10>>& records) {
  boost::shared_lock<boost::shared_mutex> lock(map.mutex);
  const size_t count = std::min(map.keyFrames.size(), working.keyFrameMeasurementStart.size());
  records.assign(count, std::array<u32, 10>{});
  u32 patch = 0;
  for (size_t k = 0; k < count; ++k) {
    const u32 base = working.keyFrameMeasurementStart[k];
    const u16* offsets = map.keyFrames[k].levelOffsets;
    const u32 created = patch;
    std::array<u32, 10>& record = records[k];
    for (int l = 0; l < 4; ++l) {
      record[l] = patch;
      const u32 end = base + offsets[l + 1];
      for (u32 i = base + offsets[l]; i < end && i < working.measurementTracks.size(); ++i)
        if (working.measurementTracks[i] >= created) ++patch;
    }
    record[4] = patch;
    record[5] = base;
  }
}

}  // namespace

Tracker::Tracker(GlobalMap* sharedMap, MutexBufferPool<TrackMatchingData>* matcherPoolIn,
                 MutexBufferQueue<TrackMatchingData>* matcherQueueIn,
                 MutexBufferPool<u16>* surfPoolIn, MutexBufferQueue<u16>* surfQueueIn,
                 MutexBufferPool<u8>* localPoolIn, MutexBufferQueue<u8>* localQueueIn,
                 bool parallelIn, bool verboseIn, const std::string& logFileNameIn,
                 i32 startFrameIn, i32 endFrameIn, bool imageRotationIn, bool isoWindowIn,
                 bool viewIn)
    : matcherPool(matcherPoolIn),
      matcherQueue(matcherQueueIn),
      surfPool(surfPoolIn),
      surfQueue(surfQueueIn),
      localPool(localPoolIn),
      localQueue(localQueueIn) {
  parallel = parallelIn;
  imageRotation = imageRotationIn;
  isoWindow = isoWindowIn;
  view = viewIn;
  verbose = verboseIn;
  logFileName = logFileNameIn;
  ConstructCommon(sharedMap);
  Reset(false);
  startFrame = startFrameIn;
  endFrame = endFrameIn;
  frameCounter = -1;
  if (!verbose && !logFileName.empty()) logFile = std::fopen(logFileName.c_str(), "w");
}

Tracker::Tracker(GlobalMap& sharedMap) {
  // No Reset here: it would empty the map this tracker is built to show.
  ConstructCommon(&sharedMap);
  frameCounter = -1;
  firstKeyFrameNumber = 0xFFFFFFFF;
  startFrame = -1;
  endFrame = kUnsetCounter;
  rejectedCount = 0;
  sceneScale = depthScale = 0.0f;
  tracking = 1;
  relocalising = recovering = serverFlag = 0;
  currentFrame = alignedFrame = newKeyFrame = referenceFrame = kNoSlot;
  // The working copy starts empty, so pull even when an earlier reader
  // already cleared the change flag.
  map->changed = 1;
  map->Synchronize(working);
  BuildKeyFrameRecords(*map, working, keyFrameRecords);
  referencePose.m[0][0] = FLT_MAX;
  if (view) {
    InitializeDisplay();
    SetCurrentFrame(0);
  }
}

Tracker::~Tracker() {
  if (logFile != nullptr) std::fclose(logFile);
  delete markerDetector;
}

void Tracker::ConstructCommon(GlobalMap* sharedMap) {
  map = sharedMap;
  markerTemplateFile = "marker.txt";
  for (TimerStats& t : timers) t.Reset(20);
  testFrame = -1;
  ISOParameters& p = isoSolver.parameters;
  p.maxIterations = 20;
  p.initialDamping = 0.001f;
  p.minRelativeReduction = 0.0005f;
  p.minGradient = 1e-5f;
  p.minStep = 1e-6f;
  p.pcgMinIterations = 10;
  p.pcgMaxIterations = 500;
  p.pcgRelativeTolerance = 0.001f;
  p.pcgDivergenceFactor = 10.0f;

  width = map->width;
  height = map->height;
  intrinsic[0] = map->intrinsic;
  for (int l = 1; l < 5; ++l) HalveIntrinsic(intrinsic[l - 1], intrinsic[l]);
  smallWidth = static_cast<u16>(width >> 4);
  smallHeight = static_cast<u16>(height >> 4);
  const Intrinsic& k = intrinsic[0];
  pixelVariance = k.misc[1];
  bounds[0] = -k.cx[0] * k.ifx[0];
  bounds[1] = -k.cy[0] * k.ify[0];
  bounds[2] = (width - k.cx[0]) * k.ifx[0];
  bounds[3] = (height - k.cy[0]) * k.ify[0];
  for (u32 a = 0; a < 4; ++a)
    for (u32 b = 0; b < 4; ++b) warpOffsets[a][b] = 1 + 2 * (4 * a + b);
  for (int i = 0; i < 4; ++i) bodyToCamera.quaternion[i] = map->extrinsic[i];
  for (int i = 0; i < 3; ++i) bodyToCamera.position[i] = map->extrinsic[4 + i];
  coverageMasks[0].Resize(static_cast<u16>(width / 16), static_cast<u16>(height / 16));
  frames.reserve(kRingCapacity);
}

void Tracker::Reset(bool notifyWorkers) {
  if (notifyWorkers) {
    HandOverSynchronously(matcherPool, matcherQueue, [](TrackMatchingData& item) {
      item.frameId = TrackMatchingData::kResetFrameId;
    });
    HandOverSynchronously(surfPool, surfQueue, [](u16& id) { id = kNoSlot; });
    HandOverSynchronously(localPool, localQueue, [](u8& request) { request = 3; });
    // After a reset there is no current frame to report.
    if (currentFrame < frames.size() && frames[currentFrame].number >= lastSentFrame + 3)
      SendMessage(0, currentFrame, true);
  }
  map->Reset();

  firstKeyFrameNumber = 0x7fffffff;
  endFrame = startFrame = kUnsetCounter;
  lastSentFrame = -1;
  rejectedCount = 0;
  sceneScale = depthScale = 0.0f;
  tracking = relocalising = recovering = serverFlag = 0;
  initProgress = 0.0f;
  currentFrame = alignedFrame = newKeyFrame = referenceFrame = kNoSlot;

  frames.clear();
  frameMaps.Clear();
  working.keyFrameStates.Clear();
  working.keyFramePoses.Clear();
  working.cameraCenters.Clear();
  working.points.Clear();
  working.planes.Clear();
  working.keyFrameMeasurementStart.assign(1, 0);
  working.measurementTracks.clear();
  working.trackPlanes.clear();
  working.keyFrameFlags.clear();
  working.trackFlags.clear();
  working.planeFlags.clear();
  working.resolvedTracks.clear();
  working.changed = 0;
  working.time = -1.0;
  patches.Clear();
  keyFrameCenters.Clear();
  objects.clear();
  keyFrameRecords.clear();
  keyFramePixels.Clear();
  keyFrameNormalized.Clear();
  keyFrameMaps.Clear();
  referencePose.m[0][0] = FLT_MAX;
  keyFrameMatchList.clear();

  for (TimerStats& t : timers) t.Reset(20);
  shownFrame = 0;
  displayImage = CVD::Image<CVD::Rgb<u8>>();
  PrintLine("%s", kStarLine);
}

void Tracker::Quit() {
  if (serverPool != nullptr && serverQueue != nullptr) SendMessage(6, currentFrame, true);
  stopFlag = 1;
}

void Tracker::SetServerLink(MutexBufferPool<ClientSendingData>* pool,
                            MutexBufferQueue<ClientSendingData>* queue) {
  serverPool = pool;
  serverQueue = queue;
}

void Tracker::SetMarkerTemplateFile(const std::string& path) {
  markerTemplateFile = path;
}

bool Tracker::SendMessage(i32 type, u16 slot, bool synchronous) {
  if (serverPool == nullptr || serverQueue == nullptr) return false;
  ClientSendingData* item = synchronous ? serverPool->Get() : serverPool->TryGet();
  if (item == nullptr) return false;
  const bool hasFrame = slot < frames.size();
  const i32 number = hasFrame ? frames[slot].number : -1;
  if (hasFrame) {
    item->Set(type, number, static_cast<i32>(firstKeyFrameNumber), frames[slot].pyramid[0],
              serverFlag != 0 ? 1 : 0);
  } else {
    item->Set(type, number, static_cast<i32>(firstKeyFrameNumber), CVD::Image<u8>(),
              serverFlag != 0 ? 1 : 0);
    item->image = CVD::Image<u8>();
  }
  if (synchronous) {
    serverQueue->Put(item);
    serverPool->WaitFull();
  } else if (!serverQueue->TryPut(item)) {
    serverPool->Put(item);
    return false;
  }
  lastSentFrame = number;
  return true;
}

void Tracker::SendToMatcher(u16 slot) {
  if (matcherPool == nullptr || matcherQueue == nullptr) return;
  if (parallel) {
    TrackMatchingData* item = matcherPool->TryGet();
    if (item == nullptr) return;
    FillTrackMatchingData(slot, *item);
    if (!matcherQueue->TryPut(item)) matcherPool->Put(item);
    return;
  }
  HandOverSynchronously(matcherPool, matcherQueue,
                        [&](TrackMatchingData& item) { FillTrackMatchingData(slot, item); });
}

void Tracker::PrintLine(const char* format, ...) {
  FILE* out = verbose ? stdout : logFile;
  if (out == nullptr) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(out, format, args);
  va_end(args);
}
