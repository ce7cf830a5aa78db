#pragma once
// The tracker's state file: the map followed by every field the pipeline and
// the display need, written at a chosen frame or on request and read back to
// resume; and the folders of the state file and the output images.
#include <cstdio>
#include <string>
#include <vector>

#include "tracker/TrackerContext.h"
#include "tracker/TrackerStatus.h"

class GlobalMap;
class TrackerDisplay;
struct StagedTrackerState;

// When Run saves the state and quits: after frame testFrame, to name (empty:
// never).
struct StateFileRequest {
  std::string name;
  i32 testFrame = -1;
};

// The name up to its last '.' (the whole name when the file part has none).
std::string StripExtension(const std::string& name);
// The numbered copy of a state file: its name without extension, then
// "_%04d.txt" with the frame.
std::string NumberedCopyName(const std::string& path, i32 frame);
// True for a folder that an output prefix must never have deleted: "", "/",
// ".", "..", the home and working folders and every folder above them.
bool IsProtectedFolder(const std::string& folder);
// Reads one word from `in`: true only for "Y" or "y"; false at the end of
// input and whenever the input is not interactive.
bool ReadYesAnswer(FILE* in, bool interactive);

class StateFile {
 public:
  StateFile(const TrackerContext& context, TrackerStatus& status, TrackerDisplay& display)
      : c_(context), status_(status), display_(display) {}

  // Stores the request and creates the folder of the file.
  void SetStateFile(const std::string& name, i32 frame);
  // Stores the prefix of the numbered output images and makes its folder;
  // an existing folder is emptied only on a "Y" typed at a terminal, and
  // never when it is protected (IsProtectedFolder).
  void SetOutputFolder(const std::string& prefix);
  // True when Run should save and quit after this frame.
  bool Due(i32 frameCounter) const {
    return !request.name.empty() && frameCounter == request.testFrame;
  }
  // Writes path + ".tmp" and renames it over path, so that a failed save
  // leaves the previous file; then the numbered copy. False (no "Saved"
  // line, no server message) when any write fails.
  bool SaveState(const std::string& path);
  // Reads the whole file into a staging copy and takes it in only when every
  // read and check passed; false leaves tracker and map as they were.
  bool LoadState(const std::string& path);
  // SaveState with the requested name; false when none is set.
  bool SaveStateIfRequested();

  StateFileRequest request;
  std::string outputPrefix;

 private:
  // The map section, then the tracker's; false when a write failed.
  bool WriteState(FILE* f);
  // Puts a checked state in place of the live one, workers idle.
  void Commit(StagedTrackerState& staged, GlobalMap& loaded, u8 mapChanged);
  // Message 4 or 5 to the server, when there is one.
  void SendStateMessage(ServerMessage type);

  TrackerContext c_;
  TrackerStatus& status_;
  TrackerDisplay& display_;
  std::vector<const TrackerFrame*> framePointers_;  // the ring in slot order, for the writer
};
