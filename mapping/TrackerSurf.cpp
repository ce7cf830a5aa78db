#include "mapping/TrackerSurf.h"

#include <boost/thread/locks.hpp>

TrackerSurf::TrackerSurf(GlobalMap* map, MutexBuffer<u16>* pool, MutexBuffer<u16>* queue, u8 flag,
                         u8 verbose, const std::string& logName)
    : map_(map), pool_(pool), queue_(queue), flag_(flag), verbose_(verbose), logName_(logName) {
  {
    boost::shared_lock<boost::shared_mutex> lock(map_->mutex);
    intrinsic_ = map_->intrinsic;
  }
  if (verbose_ == 0 && !logName_.empty()) log_ = std::fopen(logName_.c_str(), "w");
}

TrackerSurf::~TrackerSurf() {
  if (log_) std::fclose(log_);
}

void TrackerSurf::Run(const u16* keyFrame) {
  if (keyFrame == nullptr || *keyFrame == kNone16) return;
  busy = true;
  if (log_) {
    std::fclose(log_);
    log_ = std::fopen(logName_.c_str(), "a");
  }
  busy = false;
}
