// Construction, reset and quit of the tracker, and its host-facing calls that
// forward to its units.
#include <cfloat>

#include "tracker/StageUnits.h"
#include "tracker/Tracker.h"

namespace {

const char kStarLine[] = "****************************************************************\n";

TrackerOptions OptionsOf(bool parallel, bool verbose, const std::string& logFileName,
                         i32 startFrame, i32 endFrame, bool imageRotation, bool isoWindow,
                         bool view) {
  TrackerOptions o;
  o.parallel = parallel;
  o.verbose = verbose;
  o.logFileName = logFileName;
  o.startFrame = startFrame;
  o.endFrame = endFrame;
  o.imageRotation = imageRotation;
  o.isoWindow = isoWindow;
  o.view = view;
  return o;
}

}  // namespace

Tracker::Tracker(GlobalMap* map, const WorkerChannels& channels, const TrackerOptions& options,
                 const StageFactory& makeStages, bool)
    : options_(options),
      camera_(*map),
      log_(options.verbose, options.logFileName),
      ring_(),
      mapView_(*map),
      links_(channels),
      objects_(Context()),
      stages_(makeStages ? makeStages(Context()) : std::make_unique<StageUnits>(Context())),
      neighbourhood_(ring_, mapView_, *stages_, log_),
      marker_(camera_, options.view),
      display_(*this, Context()),
      stateFile_(Context(), status_, display_) {
  ring_.SetUnweighedRates(options.ImageRatesWeighNothing());
  timers_.Reset();
}

Tracker::Tracker(GlobalMap* map, const WorkerChannels& channels, const TrackerOptions& options,
                 const StageFactory& makeStages)
    : Tracker(map, channels, options, makeStages, true) {
  if (options_.view) display_.InitializeDisplay();
  Reset(false);
  status_.startFrame = options_.startFrame;
  status_.endFrame = options_.endFrame;
  status_.frameCounter = -1;
}

Tracker::Tracker(GlobalMap* map, MutexBufferPool<TrackMatchingData>* matcherPool,
                 MutexBufferQueue<TrackMatchingData>* matcherQueue, MutexBufferPool<u16>* surfPool,
                 MutexBufferQueue<u16>* surfQueue, MutexBufferPool<u8>* localPool,
                 MutexBufferQueue<u8>* localQueue, bool parallel, bool verbose,
                 const std::string& logFileName, i32 startFrame, i32 endFrame, bool imageRotation,
                 bool isoWindow, bool view)
    : Tracker(map,
              WorkerChannels{matcherPool, matcherQueue, surfPool, surfQueue, localPool, localQueue,
                             nullptr, nullptr},
              OptionsOf(parallel, verbose, logFileName, startFrame, endFrame, imageRotation,
                        isoWindow, view)) {}

Tracker::Tracker(GlobalMap& map, bool view)
    : Tracker(&map, WorkerChannels{}, TrackerOptions{}, nullptr, true) {
  // Set here, not in the options above: the marker detector keeps no window.
  options_.view = view;
  // No Reset here: it would empty the map this tracker is built to show.
  status_.firstKeyFrameNumber = kNone32;
  status_.startFrame = -1;
  status_.endFrame = kUnsetCounter;
  status_.tracking = 1;
  // The working copy starts empty, so pull even when an earlier reader
  // already cleared the change flag.
  map.changed = 1;
  mapView_.Synchronize();
  mapView_.BuildKeyFrameRecords();
  status_.referencePose.m[0][0] = FLT_MAX;
  if (options_.view) {
    display_.InitializeDisplay();
    display_.SetCurrentFrame(0);
  }
}

Tracker::~Tracker() = default;

TrackerContext Tracker::Context() {
  return {options_, camera_, ring_, mapView_, links_, objects_, log_};
}

void Tracker::Reset(bool notifyWorkers) {
  if (notifyWorkers) {
    links_.SendResetItems();
    // After a reset there is no current frame to report.
    if (ring_.Contains(ring_.Current()))
      links_.SendFrameMessage(ring_[ring_.Current()], status_.firstKeyFrameNumber,
                              status_.serverFlag != 0, true);
  }
  mapView_.Map().Reset();

  // The frame counter runs on: the host starts tracking again from it.
  const i32 frameCounter = status_.frameCounter;
  status_ = TrackerStatus{};
  status_.frameCounter = frameCounter;
  status_.referencePose.m[0][0] = FLT_MAX;
  links_.SetLastSentFrame(-1);
  ring_.Clear();
  mapView_.Clear();
  objects_.Clear();
  neighbourhood_.ClearMatchList();
  timers_.Reset();
  display_.Reset();
  log_.Print("%s", kStarLine);
}

void Tracker::Quit() {
  if (links_.HasServer()) {
    const u16 cur = ring_.Current();
    links_.SendMessage(kMessageQuit, ring_.Contains(cur) ? &ring_[cur] : nullptr,
                       status_.firstKeyFrameNumber, status_.serverFlag != 0, true);
  }
  stopFlag_ = 1;
}

void Tracker::SetServerLink(MutexBufferPool<ClientSendingData>* pool,
                            MutexBufferQueue<ClientSendingData>* queue) {
  links_.SetServerLink(pool, queue);
}

bool Tracker::SaveStateIfRequested() {
  return stateFile_.SaveStateIfRequested();
}
