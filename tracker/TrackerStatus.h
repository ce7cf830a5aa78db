#pragma once
// What the per-frame driver carries from frame to frame: the phase, the
// frame numbers it runs between, its decisions about the current frame and
// the scale of the scene. The driver alone writes it; the state file saves it.
#include "la/Pose.h"
#include "la/Types.h"

// The last frame counter a run reaches: every caller can still name the
// frame after it, and kUnsetCounter stays free to mean "never".
constexpr i32 kLastFrameCounter = kUnsetCounter - 1;

struct TrackerStatus {
  i32 startFrame = kUnsetCounter;  // the first key frame
  i32 endFrame = kUnsetCounter;    // the frame initialisation ends at; unset: the marker anchors
  i32 frameCounter = -1;
  u32 firstKeyFrameNumber = kUnsetCounter;
  i32 rejectedCount = 0;       // rejected frames since the last key-frame candidate
  u16 alignedFrame = kNone16;  // ring frame the current one was aligned with
  u16 newKeyFrame = kNone16;   // ring frame chosen as the next key frame
  u8 tracking = 0;             // a map exists
  u8 relocalising = 0;         // set only while a lost frame looks for its key frame
  u8 recovering = 0;           // a frame was rejected since the last candidate
  u8 serverFlag = 0;           // the server link was lost
  u8 anchored = 0;             // the map is anchored to the marker sheet
  u8 levelled = 0;             // the start frame took the host's attitude: the map's z is up
  f32 initProgress = 0.0f;
  f32 sceneScale = 0.0f;       // typical distance between key frames
  f32 depthScale = 0.0f;       // times the key-frame distance: least baseline over depth
  CameraPose referencePose{};  // pose of the last frame whose patch statistics counted
};
