// ctest-labels: threads
// scripted-stages
// Hand-over to the workers on real pools and queues with fake workers:
// reset items in order, synchronous and dropped asynchronous messages, and
// candidate frames to the track matcher.
#include <chrono>
#include <mutex>
#include <thread>

#include "tracker/ScriptedStages.h"

namespace {

// A worker that logs each item it takes and returns it; a null item ends it.
template <class T>
struct FakeWorker {
  template <class Describe>
  FakeWorker(std::vector<std::string>& log, std::mutex& mutex, Describe describe)
      : pool(2), queue(2), thread([this, &log, &mutex, describe] {
          for (T* item; (item = queue.Get()) != nullptr; pool.Put(item)) {
            std::lock_guard<std::mutex> lock(mutex);
            log.push_back(describe(*item));
          }
        }) {}
  ~FakeWorker() {
    queue.Put(nullptr);
    thread.join();
  }

  MutexBufferPool<T> pool;
  MutexBufferQueue<T> queue;
  std::thread thread;
};

}  // namespace

class TrackerHandOver : public ScriptedTracker {
 protected:
  void MakeWithWorkers(bool parallel) {
    tracker = std::make_unique<Tracker>(map.get(), &matcher.pool, &matcher.queue, &surf.pool,
                                        &surf.queue, &local.pool, &local.queue, parallel, false, "",
                                        0, kUnsetCounter, false, false, false);
    tracker->SetMarkerTemplateFile("");
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(mutex);
    return log;
  }

  std::vector<std::string> log;
  std::mutex mutex;
  FakeWorker<TrackMatchingData> matcher{
      log, mutex, [](const TrackMatchingData& d) { return "M" + std::to_string(d.frameId); }};
  FakeWorker<u16> surf{log, mutex, [](const u16& id) { return "S" + std::to_string(id); }};
  FakeWorker<u8> local{log, mutex, [](const u8& r) { return "L" + std::to_string(r); }};
  FakeWorker<ClientSendingData> sender{log, mutex, [](const ClientSendingData& m) {
                                         return "T" + std::to_string(m.type) + ":" +
                                                std::to_string(m.frameId) + ":" +
                                                std::to_string(m.image.size().x);
                                       }};
};

TEST_F(TrackerHandOver, MessagesEveryThreeFramesCandidatesToTheMatcherAndResetItemsInOrder) {
  MakeWithWorkers(false);
  tracker->SetServerLink(&sender.pool, &sender.queue);
  Step(8);
  const std::vector<std::string> expected = {"T1:0:128", "M1", "M2",       "T0:3:128", "M3",
                                             "M4",       "M5", "T0:6:128", "M6",       "M7"};
  EXPECT_EQ(Log(), expected);
  // A reset reports the current frame when it is far enough from the last.
  Step(2);
  tracker->lastSentFrame = 0;
  log.clear();
  tracker->Reset(true);
  EXPECT_EQ(Log(), (std::vector<std::string>{"M4294967295", "S65535", "L3", "T0:9:128"}));
  // No current frame after a reset: no frame message, and Quit reports -1.
  tracker->lastSentFrame = 0;
  log.clear();
  tracker->Reset(true);
  tracker->Quit();
  EXPECT_EQ(Log(), (std::vector<std::string>{"M4294967295", "S65535", "L3", "T6:-1:0"}));
  EXPECT_TRUE(tracker->StopRequested());
}

TEST_F(TrackerHandOver, AsynchronousMessagesAreDroppedWhenNoItemIsFree) {
  // A sender that never takes anything: one item in the pool.
  MutexBufferPool<ClientSendingData> pool(1);
  MutexBufferQueue<ClientSendingData> queue(1);
  MakeWithWorkers(true);
  Step();  // start frame before the link exists
  tracker->SetServerLink(&pool, &queue);
  const auto start = std::chrono::steady_clock::now();
  Step(6);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(queue.Count(), 1u);
  EXPECT_EQ(pool.Count(), 0u);
  EXPECT_EQ(tracker->lastSentFrame, 2);  // frame 5's message was dropped
  EXPECT_EQ(queue.TryGet()->frameId, 2);
}
