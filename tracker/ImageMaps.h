#pragma once
// Image maps between frames: every ring frame and key frame keeps a 3x3 map
// that takes pixels of the current frame's alignment image into its own. The
// maps come from direct image alignment and are chained from frame to frame;
// a failed alignment leaves the previous, consistent maps in place.
#include <vector>

#include "features/ImageAlignment.h"
#include "tracker/FrameRing.h"
#include "tracker/TrackerCamera.h"
#include "tracker/TrackerMapView.h"
#include "tracker/TrackerStages.h"

class ImageMaps {
 public:
  ImageMaps(const TrackerCamera& camera, FrameRing& ring, TrackerMapView& mapView)
      : camera_(camera), ring_(ring), mapView_(mapView) {}

  // Aligns the current frame with the previous one and carries every map
  // along; on failure only the current frame's identity map is left.
  bool AlignToPreviousFrame(u16 previous, u16 current);
  // Carries the key frames' maps from frame f's alignment image to frame g's
  // through f's map.
  void CarryKeyFrameMaps(const std::vector<u16>& keyFrames, u16 f, u16 g);
  // Refines (or, relocalising, finds) the key frame's map; residual gets the
  // alignment error on success.
  bool AlignKeyFrameImage(u16 keyFrame, u16 frame, KeyFrameAlignment start, float* residual);
  bool AlignFrameImage(u16 ringFrame, u16 frame);
  // Pairs of a position in the other image (A) and in frame (B) of the points
  // both see, or that the other sees and frame's pose projects; their RMS
  // through the other image's map in level-0 pixels (FLT_MAX without a map).
  float CollectFrameCorrespondences(u16 ringFrame, u16 frame, AlignedArray<LA::Vector2<float>>& A,
                                    AlignedArray<LA::Vector2<float>>& B);
  float CollectKeyFrameCorrespondences(u16 keyFrame, u16 frame, AlignedArray<LA::Vector2<float>>& A,
                                       AlignedArray<LA::Vector2<float>>& B);

 private:
  // Aligns image (the other frame's) with frame's from the map H, with the
  // collected pairs when H is set and they are enough; restores H on failure.
  bool AlignImageMap(const CVD::BasicImage<float>& image, u16 frame, float pairResidual,
                     WarpRecord& H, float* residual);

  const TrackerCamera& camera_;
  FrameRing& ring_;
  TrackerMapView& mapView_;
  // Correspondences (A in the other frame, B in the current one), the
  // alignment's buffers and warped image, and per track the other frame's
  // match index and whether it paired.
  AlignedArray<LA::Vector2<float>> pointsA_, pointsB_;
  AlignmentScratch alignmentScratch_;
  CVD::Image<float> warpedImage_;
  std::vector<u32> pointMatchIndex_;
  std::vector<u8> pointPaired_;
};
