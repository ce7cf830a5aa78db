#include "tests/common/HandHeldMotion.h"

#include <cmath>

namespace {

constexpr f64 kPi = 3.14159265358979323846;

// Tremor of a hand: a tenth of a millimetre and under a milliradian at 8 to
// 11 Hz on every channel.
void AddTremor(HandHeldMotion& m) {
  const f64 w[6] = {57.0, 63.0, 69.0, 52.0, 61.0, 66.0};
  for (int c = 0; c < 6; ++c)
    m.channels[c].terms.push_back({c < 3 ? 1.0e-4 : 6.0e-4, w[c], 0.7 * c});
}

// Turns channel `to` with `gain` times channel `from`'s terms.
void Follow(HandHeldMotion& m, int to, int from, f64 gain) {
  const std::vector<SineTerm> terms = m.channels[from].terms;
  for (const SineTerm& s : terms)
    m.channels[to].terms.push_back({gain * s.amplitude, s.frequency, s.phase});
}

HandHeldMotion Desk() {
  // Above the desk top (z = 0.75) by about 0.38 m, looking down at 31
  // degrees from the vertical toward its middle: 0.3-0.6 m to what it sees.
  HandHeldMotion m;
  m.channels[0] = {0.0, {{0.15, 0.55, 0.3}, {0.05, 1.3, 1.0}}};
  m.channels[1] = {-0.15, {{0.08, 0.45, 1.2}, {0.04, 1.1, 0.4}}};
  m.channels[2] = {1.13, {{0.07, 0.5, 2.0}, {0.02, 1.3, 0.0}}};
  Follow(m, 3, 0, 1.5);  // moved right, it turns left to keep the desk in view
  m.channels[3].base = 0.5 * kPi;
  m.channels[3].terms.push_back({0.12, 0.6, 0.7});
  m.channels[4] = {0.55, {{0.1, 0.45, 0.2}, {0.04, 1.2, 2.0}}};
  m.channels[5] = {0.0, {{0.06, 0.5, 1.0}, {0.02, 1.5, 0.0}}};
  AddTremor(m);
  return m;
}

HandHeldMotion RoomWalk() {
  // Walking along x from -1.2 to 1.2 m over 15 s at eye height, looking
  // ahead and around; steps bob and sway the camera.
  HandHeldMotion m;
  m.channels[0] = {0.0, {{1.2, kPi / 15.0, -0.5 * kPi}, {0.02, 5.65, 0.0}}};
  m.channels[1] = {-0.5, {{0.15, 0.3, 0.5}}};
  m.channels[2] = {1.5, {{0.012, 11.3, 0.0}, {0.03, 0.4, 0.0}}};
  m.channels[3] = {0.5 * kPi, {{0.45, 0.35, 0.3}, {0.1, 0.9, 1.0}, {0.01, 5.65, 0.0}}};
  m.channels[4] = {1.35, {{0.08, 0.5, 1.0}, {0.005, 11.3, 1.0}}};
  m.channels[5] = {0.0, {{0.03, 0.6, 0.0}, {0.006, 5.65, 0.5}}};
  m.nearest = 0.8;
  AddTremor(m);
  return m;
}

HandHeldMotion Board() {
  // Facing the poster on the wall at y = 0.4 from 0.37 m, level with its
  // centre at z = 1.3, turning back toward it as the hand wanders.
  HandHeldMotion m;
  m.channels[0] = {0.0, {{0.06, 0.5, 0.4}, {0.025, 1.3, 1.0}}};
  m.channels[1] = {0.03, {{0.035, 0.4, 1.5}}};
  m.channels[2] = {1.3, {{0.05, 0.45, 2.2}, {0.02, 1.1, 0.0}}};
  Follow(m, 3, 0, 1.2);
  m.channels[3].base = 0.5 * kPi;
  m.channels[3].terms.push_back({0.08, 0.55, 0.9});
  Follow(m, 4, 2, -1.2);  // raised, it looks down
  m.channels[4].base = 0.5 * kPi;
  m.channels[4].terms.push_back({0.06, 0.6, 0.3});
  m.channels[5] = {0.0, {{0.1, 0.35, 0.5}, {0.03, 1.2, 0.0}}};
  m.nearest = 0.33;
  AddTremor(m);
  return m;
}

HandHeldMotion FastPans() {
  // Standing near the middle of the room, drifting a little, panning left
  // and right at up to about 200 degrees a second.
  HandHeldMotion m;
  m.channels[0] = {0.0, {{0.25, 0.4, 0.3}}};
  m.channels[1] = {0.2, {{0.15, 0.3, 1.0}}};
  m.channels[2] = {1.5, {{0.03, 0.5, 0.0}}};
  m.channels[3] = {0.5 * kPi, {{0.8, 1.9, 0.2}, {0.37, 5.0, 1.1}}};
  m.channels[4] = {1.4, {{0.12, 0.7, 0.5}}};
  m.channels[5] = {0.0, {{0.05, 0.8, 0.0}}};
  m.nearest = 1.0;
  AddTremor(m);
  return m;
}

}  // namespace

ChannelValue MotionChannel::At(f64 t) const {
  ChannelValue out;
  out.v = base;
  for (const SineTerm& s : terms) {
    const f64 a = s.frequency * t + s.phase;
    const f64 sn = std::sin(a), cs = std::cos(a);
    out.v += s.amplitude * sn;
    out.d1 += s.amplitude * s.frequency * cs;
    out.d2 -= s.amplitude * s.frequency * s.frequency * sn;
  }
  return out;
}

const HandHeldMotion& MotionOf(SequenceKind kind) {
  static const HandHeldMotion desk = Desk(), room = RoomWalk(), board = Board(), pans = FastPans();
  switch (kind) {
    case SequenceKind::kRoomWalk:
      return room;
    case SequenceKind::kBoard:
      return board;
    case SequenceKind::kFastPans:
      return pans;
    default:
      return desk;
  }
}
