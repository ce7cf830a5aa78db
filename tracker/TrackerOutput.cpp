// What the host receives after every frame: the camera pose, the planes and
// the matrices of the registered objects.
#include <cfloat>

#include "tracker/Tracker.h"

void Tracker::GetOutput(CameraPose& poseOut, AlignedArray<LA::AlignedVector4f>& planesOut,
                        AlignedArray<LA::AlignedMatrix4f>& objectsOut) {
  const u16 cur = ring_.Current();
  // After a reset there is no current frame, hence no pose to report.
  const bool hasFrame = ring_.Contains(cur);
  if (status_.tracking && hasFrame) objects_.UpdateObjects(cur, status_.anchored != 0);
  bool report = hasFrame && (status_.frameCounter == status_.startFrame || status_.tracking);
  if (report && status_.tracking) {
    // A rejected frame matched too little of the map to be placed by it, and
    // the first key frame of a start without the marker sheet is no map yet:
    // neither pose would be more than a guess.
    const bool weakStart = status_.frameCounter == status_.startFrame && !status_.anchored;
    report = !ring_[cur].rejected && !weakStart;
  }
  if (report)
    poseOut = OutputPose(ring_[cur]);
  else
    SetPoseInvalid(poseOut);

  const AlignedArray<MapPlane>& planes = mapView_.Working().planes;
  planesOut.Resize(planes.Size());
  for (u32 i = 0; i < planes.Size(); ++i) planesOut[i] = planes[i];

  const std::vector<TrackerObject>& objects = objects_.List();
  objectsOut.Resize(static_cast<u32>(objects.size()));
  for (u32 i = 0; i < objects.size(); ++i) {
    if (objects[i].transforms.Size() > kPoseMatrix) {
      objectsOut[i] = objects[i].transforms[kPoseMatrix];
    } else {
      // An object without its matrices has no pose to give.
      objectsOut[i] = LA::AlignedMatrix4f{};
      objectsOut[i].m[0][0] = FLT_MAX;
    }
  }
}
