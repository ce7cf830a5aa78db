// Stand-ins until the display is written; the pragma goes with them.
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "tracker/Pending.h"
#include "tracker/TrackerDisplay.h"

void TrackerDisplay::DrawCross(float x, float y, float w, float h, u32 track) {
  Pending(__func__);
}

void TrackerDisplay::DrawPoint(float x, float y, const Intrinsic& level) {
  Pending(__func__);
}

void TrackerDisplay::DrawPointWarped(float x, float y, const Intrinsic& level) {
  Pending(__func__);
}

float TrackerDisplay::DrawTrackPoint(u32 track, const CameraPose& pose) {
  Pending(__func__);
}

float TrackerDisplay::DrawTrackPointWarped(u32 track, const CameraPose& pose) {
  Pending(__func__);
}

void TrackerDisplay::DrawTrackLine(u32 track, const float predicted[2], const CameraPose& pose,
                                   float out[2]) {
  Pending(__func__);
}

void TrackerDisplay::DrawTrackLineWarped(u32 track, const float predicted[2],
                                         const CameraPose& pose, float out[2]) {
  Pending(__func__);
}

void TrackerDisplay::DrawSquare(float x, float y, float focal) {
  Pending(__func__);
}

void TrackerDisplay::DrawPatchOutline(const FeaturePatch& patch) {
  Pending(__func__);
}

void TrackerDisplay::DrawPatchOutlineWarped(const FeaturePatch& patch) {
  Pending(__func__);
}

void TrackerDisplay::FlipRecordingImageRows() {
  Pending(__func__);
}
