// Stand-ins until the display is written; the pragma goes with them.
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "tracker/TrackerDisplay.h"

#include "tracker/FrameMeasures.h"
#include "tracker/Pending.h"

void TrackerDisplay::UpdateDisplay(bool follow) {
  Pending(__func__);
}

void TrackerDisplay::InitializeDisplay() {
  Pending(__func__);
}

void TrackerDisplay::SetCurrentFrame(u16 displayIndex) {
  Pending(__func__);
}

void TrackerDisplay::PrintSelection(u32 track) {
  Pending(__func__);
}

void TrackerDisplay::SelectPlane(u16 plane, bool print) {
  Pending(__func__);
}

void TrackerDisplay::DrawStatus() {
  Pending(__func__);
}

void TrackerDisplay::DrawKeyFrameBar() {
  Pending(__func__);
}

TrackerDisplay::TrackerDisplay(Tracker& tracker, const TrackerContext& context)
    : tracker_(tracker), measures_(std::make_unique<FrameMeasures>(context)) {}
TrackerDisplay::~TrackerDisplay() = default;
void TrackerDisplay::Reset() {
  shownFrame_ = kNone16;
}
const float* TrackerDisplay::ShownImageMap() const {
  Pending(__func__);
}
void PrintPlane(u16, bool, const float[4]) {
  Pending(__func__);
}
