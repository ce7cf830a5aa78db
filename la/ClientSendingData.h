#pragma once
// One message from the tracking thread to the network sender, refilled in
// place for every hand-over. Created by its pool with an empty image and all
// numbers 0.
#include <cvd/image.h>

#include "la/RefillInPlace.h"
#include "la/Types.h"

// Message types; the numbers go over the wire.
enum ServerMessage : i32 {
  kMessageFrame = 0,  // an ordinary frame, also sent by a reset
  kMessageFirstKeyFrame = 1,
  kMessageMapInitialised = 2,
  kMessageKeyFrame = 3,
  kMessageStateSaved = 4,
  kMessageStateLoaded = 5,
  kMessageQuit = 6,
};

struct ClientSendingData {
  i32 type = kMessageFrame;  // a ServerMessage
  i32 frameId = 0;
  // First frame id the map's key frames still cover (kUnsetCounter after a reset).
  i32 value = 0;
  // The frame's level-0 image.
  CVD::Image<u8> image;
  // 1 when the server is lost, else 0.
  i32 flag = 0;

  // Fills the message; an empty source image keeps the previous image.
  void Set(i32 messageType, i32 frame, i32 lowWaterMark, const CVD::BasicImage<u8>& source,
           i32 serverLost) {
    type = messageType;
    frameId = frame;
    value = lowWaterMark;
    RefillImage(image, source);
    flag = serverLost;
  }
};
