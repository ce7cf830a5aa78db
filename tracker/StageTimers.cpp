#include "tracker/StageTimers.h"

namespace {

constexpr int kWindow = 20;

}  // namespace

void StageTimers::Reset() {
  for (TimerStats& t : timer) t.Reset(kWindow);
}

void StageTimers::Advance() {
  for (TimerStats& t : timer) t.Advance();
}
