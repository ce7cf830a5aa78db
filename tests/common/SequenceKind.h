#pragma once
// Which world and motion the synthetic sequence shows. The demo is the room
// with the marker sheet and a still start; the others start moving at frame
// 0, as a hand-held camera does, and need no marker.
#include <cstring>
#include <string>

enum class SequenceKind {
  kDemo,      // the room with the marker sheet, still for its first second
  kDesk,      // a desk top with books, a box and a mug, 0.3-0.6 m, hand-held
  kRoomWalk,  // a furnished room, walked through 2-3 m at 1-3 m from things
  kBoard,     // a printed poster filling the view at 0.37 m, hand-held
  kFastPans,  // the furnished room, panned at up to 200 degrees a second
};

inline const char* SequenceKindName(SequenceKind kind) {
  switch (kind) {
    case SequenceKind::kDemo:
      return "demo";
    case SequenceKind::kDesk:
      return "desk";
    case SequenceKind::kRoomWalk:
      return "room";
    case SequenceKind::kBoard:
      return "board";
    case SequenceKind::kFastPans:
      return "pans";
  }
  return "?";
}

// The kind of a name SequenceKindName gives; false for any other.
inline bool ParseSequenceKind(const std::string& name, SequenceKind& kind) {
  for (SequenceKind k : {SequenceKind::kDemo, SequenceKind::kDesk, SequenceKind::kRoomWalk,
                         SequenceKind::kBoard, SequenceKind::kFastPans}) {
    if (name == SequenceKindName(k)) {
      kind = k;
      return true;
    }
  }
  return false;
}
