#pragma once
// The tracker: the object the host drives, one frame at a time, on the
// host's thread. Run is the road of one frame; the work lives in units that
// own their state: the frame ring, the tracker's view of the map, the worker
// links, the stages behind TrackerStages, the key-frame neighbourhood, the
// marker phase, the registered objects, the state file and the display.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "la/Types.h"
#include "tracker/FrameRing.h"
#include "tracker/KeyFrameNeighbourhood.h"
#include "tracker/MarkerPhase.h"
#include "tracker/StageTimers.h"
#include "tracker/StateFile.h"
#include "tracker/TrackerCamera.h"
#include "tracker/TrackerContext.h"
#include "tracker/TrackerDisplay.h"
#include "tracker/TrackerLog.h"
#include "tracker/TrackerMapView.h"
#include "tracker/TrackerObjects.h"
#include "tracker/TrackerOptions.h"
#include "tracker/TrackerStages.h"
#include "tracker/TrackerStatus.h"
#include "tracker/WorkerLinks.h"
#include "viewer/Viewer.h"

class Tracker : public Viewer {
 public:
  // Makes the stages over the tracker's parts; the driver's tests play a
  // script instead of the tracker's own stage units.
  using StageFactory = std::function<std::unique_ptr<TrackerStages>(const TrackerContext&)>;

  // --- Life cycle.
  // A tracker over the shared map and the worker channels, reset.
  Tracker(GlobalMap* map, MutexBufferPool<TrackMatchingData>* matcherPool,
          MutexBufferQueue<TrackMatchingData>* matcherQueue, MutexBufferPool<u16>* surfPool,
          MutexBufferQueue<u16>* surfQueue, MutexBufferPool<u8>* localPool,
          MutexBufferQueue<u8>* localQueue, bool parallel, bool verbose,
          const std::string& logFileName, i32 startFrame, i32 endFrame, bool imageRotation,
          bool isoWindow, bool view);
  Tracker(GlobalMap* map, const WorkerChannels& channels, const TrackerOptions& options,
          const StageFactory& makeStages = nullptr);
  // A tracker that views a loaded map: no channels, the map left as it is;
  // with view the display opens on key frame 0.
  explicit Tracker(GlobalMap& map, bool view = false);
  ~Tracker() override;
  // Empties the tracker and the map; with notifyWorkers every worker first
  // finishes a reset item.
  void Reset(bool notifyWorkers);
  // Tells the server and sets the stop flag.
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
  void SetMarkerTemplateFile(const std::string& path) { marker_.SetTemplateFile(path); }
  // State file and the frame at which Run saves it and quits.
  void SetStateFile(const std::string& name, i32 frame) { stateFile_.SetStateFile(name, frame); }
  // Prefix of the numbered output images.
  void SetOutputFolder(const std::string& prefix) { stateFile_.SetOutputFolder(prefix); }
  void SetStartFrame(i32 frame) { status_.startFrame = frame; }
  void SetEndFrame(i32 frame) { status_.endFrame = frame; }
  // Whether the small images give the rotation between frames; a host turns
  // it off once its readings bring a gyroscope, whose rates are measured.
  void SetImageRotation(bool on) {
    options_.imageRotation = on;
    ring_.SetUnweighedRates(options_.ImageRatesWeighNothing());
  }
  // True once Quit was called.
  bool StopRequested() const { return stopFlag_ != 0; }

  // --- Output, objects and state file.
  // Pose (the output slot when set, else the visual one), planes and objects.
  virtual void GetOutput(CameraPose& poseOut, AlignedArray<LA::AlignedVector4f>& planesOut,
                         AlignedArray<LA::AlignedMatrix4f>& objectsOut);
  // Anchors a new object on the current frame at the host's object transform
  // (map-to-object); false when refused.
  bool RegisterObject(const LA::AlignedMatrix4f& objectTransform) {
    return objects_.RegisterObject(ring_.Current(), objectTransform, status_.recovering != 0);
  }
  // Removes the object at that index; other indices are ignored.
  void DeregisterObject(i32 index) { objects_.DeregisterObject(index); }
  // Writes or reads the whole tracker and map state.
  bool SaveState(const std::string& path) { return stateFile_.SaveState(path); }
  bool LoadState(const std::string& path) { return stateFile_.LoadState(path); }
  // SaveState with the state-file name when it is set.
  virtual bool SaveStateIfRequested();

  // --- Window events, for the display.
  // Escape quits the tracker (also after the state file is saved); the
  // other keys are the display's.
  bool OnKeyDown(int key) override {
    if (key == 27) {
      Quit();
      return true;
    }
    return display_.OnKeyDown(key);
  }
  void OnMouseDown(const CVD::ImageRef& position, int button) override {
    display_.OnMouseDown(position, button);
  }
  void OnMouseUp(const CVD::ImageRef& position, int button) override {
    display_.OnMouseUp(position, button);
  }
  bool OnMouseDrag(const CVD::ImageRef& pressPosition, const CVD::ImageRef& position,
                   int button) override {
    return display_.OnMouseDrag(pressPosition, position, button);
  }
  bool OnMouseDoubleClick(const CVD::ImageRef& position, int button) override {
    return display_.OnMouseDoubleClick(position, button);
  }
  void OnResize(const CVD::ImageRef& size) override { display_.OnResize(size); }

  // --- The units, for the display, the state file and the tests.
  const TrackerOptions& Options() const { return options_; }
  const TrackerCamera& Camera() const { return camera_; }
  const TrackerStatus& Status() const { return status_; }
  const StageTimers& Timers() const { return timers_; }
  FrameRing& Ring() { return ring_; }
  const FrameRing& Ring() const { return ring_; }
  TrackerMapView& MapView() { return mapView_; }
  const TrackerMapView& MapView() const { return mapView_; }
  WorkerLinks& Links() { return links_; }
  TrackerObjects& Objects() { return objects_; }
  const TrackerObjects& Objects() const { return objects_; }
  TrackerStages& Stages() { return *stages_; }
  KeyFrameNeighbourhood& Neighbourhood() { return neighbourhood_; }
  MarkerPhase& Marker() { return marker_; }
  StateFile& States() { return stateFile_; }
  TrackerDisplay& Display() { return display_; }
  u32 KeyFrameCount() const { return mapView_.KeyFrameCount(); }

 private:
  // The members alone: no reset, nothing pulled.
  Tracker(GlobalMap* map, const WorkerChannels& channels, const TrackerOptions& options,
          const StageFactory& makeStages, bool);
  TrackerContext Context();

  // --- The road of one frame (TrackerRun.cpp, FrameInput.cpp).
  void InputFrame(const TrackerInput& frame, const std::vector<IMUSample>& imuSamples,
                  const f64 posePrior[8]);
  // Pulls the map; on a change the ring frames follow it.
  void SynchronizeMap();
  void RunTrackingPhase();
  // The frame's nearby key frames, the ring frame and key frame its image
  // aligns with, and its image matches against those two.
  void MatchNeighbourhood(u16 frame);
  // A lost frame's attempt to relocalise; false when undone.
  bool TryRelocalisation(u16 frame);
  void JudgeFrame();
  void ChooseKeyFrame();
  void HandOverKeyFrame();
  void RunInitialisationPhase(const TrackerInput& frame, float* parallaxOut, float* progressOut);
  void ReportFrame(char* text, size_t textCapacity);
  // The frame's patch statistics, and its pose the new reference pose.
  void UpdatePatchStatistics(u16 frame);
  // The frame's parallax, baseline and depth against its key frame.
  void UpdateKeyFrameMeasures(u16 frame);
  u16 PushKeyFrame(u16 frame, const float* marker, PushMode mode, bool synchronous);
  void PopKeyFrame();
  TrackingMode Mode() const { return {status_.tracking != 0, status_.recovering != 0}; }

  TrackerOptions options_;
  TrackerCamera camera_;
  TrackerLog log_;
  StageTimers timers_;
  TrackerStatus status_;
  u8 stopFlag_ = 0;
  FrameRing ring_;
  TrackerMapView mapView_;
  WorkerLinks links_;
  TrackerObjects objects_;
  std::unique_ptr<TrackerStages> stages_;
  KeyFrameNeighbourhood neighbourhood_;
  MarkerPhase marker_;
  TrackerDisplay display_;
  StateFile stateFile_;
};
