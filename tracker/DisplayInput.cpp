// Stand-ins until the display is written; the pragma goes with them.
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "tracker/Pending.h"
#include "tracker/TrackerDisplay.h"

bool TrackerDisplay::OnKeyDown(int key) {
  Pending(__func__);
}

void TrackerDisplay::OnMouseDown(const CVD::ImageRef& position, int button) {
  Pending(__func__);
}

void TrackerDisplay::OnMouseUp(const CVD::ImageRef& position, int button) {
  Pending(__func__);
}

bool TrackerDisplay::OnMouseDrag(const CVD::ImageRef& pressPosition, const CVD::ImageRef& position,
                                 int button) {
  Pending(__func__);
}

bool TrackerDisplay::OnMouseDoubleClick(const CVD::ImageRef& position, int button) {
  Pending(__func__);
}

void TrackerDisplay::OnResize(const CVD::ImageRef& size) {
  Pending(__func__);
}

bool TrackerDisplay::AddObjectFromView() {
  Pending(__func__);
}

bool TrackerDisplay::PickMapMatch(const float click[2], const float tolerance[2],
                                  const std::vector<MapMatch>& list, int level, u32& id,
                                  float& distance) {
  Pending(__func__);
}

bool TrackerDisplay::PickImageMatch(const float click[2], const float tolerance[2],
                                    const std::vector<ImageMatch>& list, int level, u32& id,
                                    float& distance) {
  Pending(__func__);
}

bool TrackerDisplay::PickProjectedImageMatch(const float click[2], const float tolerance[2],
                                             const std::vector<ImageMatch>& list, int level,
                                             u32& id, float& distance) {
  Pending(__func__);
}

bool TrackerDisplay::PickMaskedFeature(const float click[2], const float tolerance[2], u16 keyFrame,
                                       int level, u32& id, float& distance) {
  Pending(__func__);
}

bool TrackerDisplay::PickFeature(const float click[2], const float tolerance[2],
                                 const std::vector<u8>& mask, const CameraPose& pose, u32& id,
                                 float& distance) {
  Pending(__func__);
}

bool TrackerDisplay::PickTrackPoint(const float click[2], const float tolerance[2],
                                    const ViewPose& pose, u32& id, float& distance) {
  Pending(__func__);
}

u32 TrackerDisplay::FindSelectedPatchOfKeyFrame(u16 keyFrame) const {
  Pending(__func__);
}
