#include "tracker/KeyFrameHandOver.h"

#include "tracker/Pending.h"

u16 KeyFrameHandOver::PushKeyFrame(u16, const float*, PushMode, bool, bool, TrackingMode) {
  Pending(__func__);
}
u16 KeyFrameHandOver::PopKeyFrame() {
  Pending(__func__);
}
u32 KeyFrameHandOver::TrimKeyFrames() {
  Pending(__func__);
}
void KeyFrameHandOver::FillTrackMatchingData(u16, TrackMatchingData&) {
  Pending(__func__);
}
