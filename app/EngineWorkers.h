#pragma once
// The background half of an engine over one shared map: the track matcher,
// the SURF worker and the two bundle adjustors with their hand-over channels
// and threads 0 to 3, and, when a server is named, the server link (threads 4
// and 5). Shared by the console program and the exported interface.
#include <memory>
#include <string>

#include "app/ServerLink.h"
#include "app/WorkerThread.h"
#include "mapping/BundleAdjustorGlobal.h"
#include "mapping/BundleAdjustorLocal.h"
#include "mapping/TrackMatcher.h"
#include "mapping/TrackerSurf.h"
#include "tracker/TrackerOptions.h"

// Each worker's log: standard output when verbose, else the file when named.
struct WorkerLog {
  u8 verbose = 0;
  std::string fileName;
};

struct WorkerLogs {
  WorkerLog matcher, surf, local, global, server;
};

class EngineWorkers {
 public:
  EngineWorkers(GlobalMap* map, bool parallel, const WorkerLogs& logs);
  ~EngineWorkers();
  EngineWorkers(const EngineWorkers&) = delete;
  EngineWorkers& operator=(const EngineWorkers&) = delete;

  // The tracker's ends of the matcher, SURF and local-adjustor channels.
  WorkerChannels Channels();
  // Connects to the server, hands the tracker its message channel and starts
  // threads 4 and 5. When it does not answer the console program goes on
  // without it, the host interface (requireConnection) makes nothing. True
  // when connected.
  bool StartServer(const std::string& host, Tracker* tracker, bool requireConnection);
  // True once a server link runs (connected or not).
  bool HasServer() const { return serverStarted_; }
  // Starts threads 0 to 3.
  void Start();
  // Stops threads 0, 1, 2, 3, then 4 and 5; a second call does nothing.
  void Stop();

  TrackMatcher& Matcher() { return matcher_; }

 private:
  GlobalMap* map_;
  bool parallel_;
  WorkerLogs logs_;
  MutexBufferPool<TrackMatchingData> matcherPool_{1};
  MutexBufferQueue<TrackMatchingData> matcherQueue_{1};
  MutexBufferPool<u16> surfPool_{5};
  MutexBufferQueue<u16> surfQueue_{5};
  MutexBufferPool<u8> localPool_{1};
  MutexBufferQueue<u8> localQueue_{1};
  MutexBufferPool<u8> globalPool_{1};
  MutexBufferQueue<u8> globalQueue_{1};
  TrackMatcher matcher_;
  TrackerSurf surf_;
  BundleAdjustorLocal local_;
  BundleAdjustorGlobal global_;
  ThreadContext<TrackMatchingData> matcherThread_;
  ThreadContext<u16> surfThread_;
  ThreadContext<u8> localThread_;
  ThreadContext<u8> globalThread_;
  ServerLink server_;
  bool serverStarted_ = false;
  bool started_ = false;
};
