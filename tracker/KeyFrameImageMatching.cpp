#include "tracker/ImageMatching.h"
#include "tracker/Pending.h"

void ImageMatching::MatchKeyFrameImages(const std::vector<u16>&, u16, TrackingMode) {
  Pending(__func__);
}
void ImageMatching::AddImageMapHypothesis(const WarpRecord&, AlignedArray<WarpRecord>&) {
  Pending(__func__);
}
void ImageMatching::AddHomographyHypothesis(const WarpRecord&, AlignedArray<WarpRecord>&) {
  Pending(__func__);
}
void ImageMatching::AddPlaneHypotheses(u16, u16, AlignedArray<WarpRecord>&) {
  Pending(__func__);
}
void ImageMatching::AddPlaneHomography(const CameraPose&, const CameraPose&, const float[4],
                                       CameraPose&, float[4], WarpRecord&,
                                       AlignedArray<WarpRecord>&) {
  Pending(__func__);
}
void ImageMatching::DetectPlanes(u16, u16, AlignedArray<WarpRecord>&) {
  Pending(__func__);
}
void ImageMatching::PruneHypotheses(u32, AlignedArray<WarpRecord>&) {
  Pending(__func__);
}
u32 ImageMatching::FindSelectedPatchOfKeyFrame(u16, u32) {
  Pending(__func__);
}
