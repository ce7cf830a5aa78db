#include "la/TimerStats.h"

#include <chrono>

TimerStats::TimerStats() {
  Reset(1);
}

void TimerStats::Reset(int windowSize) {
  filling = 1;
  index = 0;
  start = 0.0;
  mean = 0.0;
  window.assign(static_cast<size_t>(windowSize < 1 ? 1 : windowSize), 0.0);
}

double TimerStats::Now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void TimerStats::Start() {
  start = Now();
}

void TimerStats::Stop() {
  window[static_cast<size_t>(index)] += Now() - start;
}

void TimerStats::Advance() {
  const int size = static_cast<int>(window.size());
  index += 1;
  mean = 0.0;
  if (filling == 0) {
    double sum = 0.0;
    for (double w : window) sum += w;
    mean = sum / size;
  } else if (index > 0) {
    double sum = 0.0;
    for (int i = 0; i < index; ++i) sum += window[static_cast<size_t>(i)];
    mean = sum / index;
  }
  if (index == size) {
    filling = 0;
    index = 0;
  }
  window[static_cast<size_t>(index)] = 0.0;
}
