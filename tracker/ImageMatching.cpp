#include "tracker/ImageMatching.h"

#include "tracker/Pending.h"

void ImageMatching::MatchImages(u16, u16, u16, TrackingMode) {
  Pending(__func__);
}
void ImageMatching::MatchImagesToFrame(u16, u16, std::vector<OccupancyMask>&, u32&) {
  Pending(__func__);
}
void ImageMatching::MatchImagesToKeyFrame(u16, u16, std::vector<OccupancyMask>&, u32&) {
  Pending(__func__);
}
void ImageMatching::ComputeEssentialFromPoses(const CameraPose&, const CameraPose&, WarpRecord&,
                                              AlignedArray<WarpRecord>&) {
  Pending(__func__);
}
void ImageMatching::MakeFundamentalPyramid(const WarpRecord&, AlignedArray<WarpRecord>&) {
  Pending(__func__);
}
bool ImageMatching::EstimateImageFundamental(u16, u16, WarpRecord&, AlignedArray<WarpRecord>&) {
  Pending(__func__);
}
void ImageMatching::FilterEpipolarInliers(u16, u16, const WarpRecord&, u32&) {
  Pending(__func__);
}
void ImageMatching::MarkMatchedPoints(u16) {
  Pending(__func__);
}
void ImageMatching::MatchMaximal(u16) {
  Pending(__func__);
}
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
