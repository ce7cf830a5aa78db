#pragma once
// The tracker's state file: the map followed by every field the pipeline and
// the display need, written at a chosen frame or on request and read back to
// resume; and the folders of the state file and the output images.
#include <string>

#include "tracker/TrackerContext.h"
#include "tracker/TrackerStatus.h"

class TrackerDisplay;

// When Run saves the state and quits: after frame testFrame, to name (empty:
// never).
struct StateFileRequest {
  std::string name;
  i32 testFrame = -1;
};

class StateFile {
 public:
  StateFile(const TrackerContext& context, TrackerStatus& status, TrackerDisplay& display)
      : c_(context), status_(status), display_(display) {}

  // Stores the request and creates the folder of the file.
  void SetStateFile(const std::string& name, i32 frame);
  // Stores the prefix of the numbered output images and makes its folder.
  void SetOutputFolder(const std::string& prefix);
  // True when Run should save and quit after this frame.
  bool Due(i32 frameCounter) const {
    return !request.name.empty() && frameCounter == request.testFrame;
  }
  bool SaveState(const std::string& path);
  bool LoadState(const std::string& path);

  StateFileRequest request;
  std::string outputPrefix;

 private:
  TrackerContext c_;
  TrackerStatus& status_;
  TrackerDisplay& display_;
};
