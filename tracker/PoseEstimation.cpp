#include "tracker/PoseEstimation.h"

#include "tracker/Pending.h"

bool PoseEstimation::EstimateCameraPose(u16) {
  Pending(__func__);
}
void PoseEstimation::PredictPoseFromFrame(u16, u16) {
  Pending(__func__);
}
void PoseEstimation::RelocaliseFromKeyFrame(u16, u16) {
  Pending(__func__);
}
