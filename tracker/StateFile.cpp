#include "tracker/StateFile.h"

#include <algorithm>
#include <boost/thread/locks.hpp>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <utility>

#include "estimation/PlaneEstimatorData.h"
#include "mapping/MapFile.h"
#include "tracker/StateFileFormat.h"
#include "tracker/TrackerDisplay.h"

namespace {

// The map section ends with the map's change flag; ReadMap leaves the
// stream right after it. A loaded tracker keeps the working copy of the
// file, so the flag says, as it did when saved, whether the map has moved
// on since that copy was pulled.
bool ReadStoredChangeFlag(FILE* f, u8& changed) {
  return std::fseek(f, -1, SEEK_CUR) == 0 && std::fread(&changed, 1, 1, f) == 1;
}

u32 CountMarkerTracks(const std::vector<u8>& trackFlags) {
  u32 n = 0;
  for (u8 flags : trackFlags) n += (flags & kTrackMarker) != 0 ? 1 : 0;
  return n;
}

}  // namespace

bool StateFile::SaveStateIfRequested() {
  return !request.name.empty() && SaveState(request.name);
}

bool StateFile::SaveState(const std::string& path) {
  const std::string temporary = path + ".tmp";
  FILE* f = std::fopen(temporary.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = WriteState(f);
  ok = std::fflush(f) == 0 && std::ferror(f) == 0 && ok;
  ok = std::fclose(f) == 0 && ok;
  std::error_code ec;
  if (ok) {
    std::filesystem::rename(temporary, path, ec);
    ok = !ec;
  }
  if (!ok) {
    std::filesystem::remove(temporary, ec);
    return false;
  }
  std::printf("Saved '%s'\n", path.c_str());
  // A numbered copy beside it, made here rather than by a shell that would
  // read the file name as a command.
  const std::string copy = NumberedCopyName(path, status_.frameCounter);
  std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) std::printf("Cannot copy '%s' to '%s'\n", path.c_str(), copy.c_str());
  SendStateMessage(kMessageStateSaved);
  return true;
}

bool StateFile::WriteState(FILE* f) {
  if (!SaveMap(c_.mapView.Map(), f)) return false;
  f32 mapScale;
  {
    const GlobalMap& map = c_.mapView.Map();
    boost::shared_lock<boost::shared_mutex> lock(map.mutex);
    mapScale = map.scale;
  }
  framePointers_.clear();
  for (u16 i = 0; i < c_.ring.Size(); ++i) framePointers_.push_back(&c_.ring[i]);
  const TrackerMapView& view = c_.mapView;
  StagedDisplay display;
  display.displayIndex = display_.DisplayIndex();
  display.shownFrame = display_.ShownFrame();
  display.comparisonFrame = display_.ComparisonFrame();
  display.shownKeyFrame = display_.ShownKeyFrame();
  for (u32 i = 0; i < 4; ++i)
    display.settings[i] = display_.Setting(static_cast<DisplaySetting>(i));
  display_.GetViewState(display.view);
  const TrackerStateSource source{status_,
                                  c_.links.LastSentFrame(),
                                  c_.ring.Current(),
                                  c_.ring.Reference(),
                                  c_.camera.bodyToCamera,
                                  framePointers_,
                                  c_.ring.Maps(),
                                  view.Patches(),
                                  view.Working(),
                                  c_.objects.List(),
                                  view.Records(),
                                  c_.mapView.KeyFramePixels(),
                                  c_.mapView.KeyFrameNormalized(),
                                  view.KeyFrameMaps(),
                                  mapScale,
                                  PlaneDistanceThreshold.load(),
                                  std::move(display)};
  BinaryWriter out(f);
  WriteTrackerSection(source, out);
  return out.Flush();
}

bool StateFile::LoadState(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  bool ok = false;
  u8 mapChanged = 1;
  std::string fault = "map section";
  std::unique_ptr<StagedTrackerState> staged;
  std::unique_ptr<GlobalMap> stagedMap;
  // Counts are checked against the bytes left before anything is sized by
  // them; a genuine state too large for memory is refused all the same.
  try {
    staged = std::make_unique<StagedTrackerState>();
    stagedMap = std::make_unique<GlobalMap>();
    if (ReadMap(*stagedMap, f) && ReadStoredChangeFlag(f, mapChanged)) {
      fault = "tracker section";
      BinaryReader in(f);
      ok = ReadTrackerSection(*staged, in) &&
           CheckStagedState(*staged, *stagedMap, c_.camera, &fault);
    }
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  std::fclose(f);
  if (!ok) {
    std::printf("Cannot load '%s': %s\n", path.c_str(), fault.c_str());
    return false;
  }
  Commit(*staged, *stagedMap, mapChanged);
  std::printf("Loaded '%s'\n", path.c_str());
  SendStateMessage(kMessageStateLoaded);
  return true;
}

void StateFile::Commit(StagedTrackerState& s, GlobalMap& loaded, u8 mapChanged) {
  // Every worker finishes a reset item first, so none holds a snapshot of
  // the map that is about to be replaced.
  c_.links.SendResetItems();
  const bool anchored = CountMarkerTracks(loaded.trackFlags) >= 4;
  const bool levelled = !loaded.keyFrames.empty() && loaded.keyFrames[0].attitude.time != DBL_MAX;
  // The check allowed a mounting an adjustment had rounded: the map takes
  // the tracker's exact one again.
  const CameraOffset& mounting = c_.camera.bodyToCamera;
  std::copy(mounting.quaternion, mounting.quaternion + 4, loaded.extrinsic);
  std::copy(mounting.position, mounting.position + 3, loaded.extrinsic + 4);
  GlobalMap& map = c_.mapView.Map();
  ReplaceMapContent(map, loaded);
  PlaneDistanceThreshold = s.planeDistanceThreshold;

  c_.ring.Restore(s.frames, s.ringMaps, s.currentFrame, s.referenceFrame);
  TrackerMapView& view = c_.mapView;
  // A full pull brings the key-frame copies of the new map; the arrays then
  // return to what the tracker held when it saved.
  view.Clear();
  view.Synchronize();
  MapWorkingCopy& w = view.Working();
  w.keyFrameStates.Assign(s.working.keyFrameStates);
  w.keyFramePoses.Assign(s.working.keyFramePoses);
  w.cameraCenters.Assign(s.working.cameraCenters);
  w.points.Assign(s.working.points);
  w.planes.Assign(s.working.planes);
  w.keyFrameMeasurementStart.swap(s.working.keyFrameMeasurementStart);
  w.measurementTracks.swap(s.working.measurementTracks);
  w.trackPlanes.swap(s.working.trackPlanes);
  w.keyFrameFlags.swap(s.working.keyFrameFlags);
  w.trackFlags.swap(s.working.trackFlags);
  w.planeFlags.swap(s.working.planeFlags);
  map.changed = mapChanged;
  view.Patches().Assign(s.patches);
  view.Records().swap(s.records);
  view.KeyFramePixels().Assign(s.keyFramePixels);
  view.KeyFrameNormalized().Assign(s.keyFrameNormalized);
  view.KeyFrameMaps().Assign(s.keyFrameMaps);
  c_.objects.List().swap(s.objects);

  status_ = s.status;
  // Not in the file: the map says it.
  status_.anchored = anchored ? 1 : 0;
  status_.levelled = levelled ? 1 : 0;
  c_.links.SetLastSentFrame(s.lastSentFrame);

  // Files written before the display stored its settings hold zeros there,
  // and no corner mode is 0: those keep the display as it is.
  const StagedDisplay& d = s.display;
  if (d.settings[kCornerMode] >= 1 && d.settings[kCornerMode] <= 4)
    for (u32 i = 0; i < 4; ++i) display_.SetSetting(static_cast<DisplaySetting>(i), d.settings[i]);
  // An index past the restored key frames and ring changes nothing.
  display_.SetCurrentFrame(d.displayIndex);
  display_.RestoreViewState(d.view, status_.frameCounter);
}

void StateFile::SendStateMessage(ServerMessage type) {
  if (!c_.links.HasServer()) return;
  const u16 current = c_.ring.Current();
  c_.links.SendMessage(type, c_.ring.Contains(current) ? &c_.ring[current] : nullptr,
                       status_.firstKeyFrameNumber, status_.serverFlag != 0, true);
}
