#include "app/EngineWorkers.h"

#include "tracker/Tracker.h"

EngineWorkers::EngineWorkers(GlobalMap* map, bool parallel, const WorkerLogs& logs)
    : map_(map),
      parallel_(parallel),
      logs_(logs),
      matcher_(map, logs.matcher.verbose, logs.matcher.fileName),
      // The SURF worker keeps its channel without using it.
      surf_(map, &surfPool_, &surfQueue_, parallel ? 1 : 0, logs.surf.verbose, logs.surf.fileName),
      local_(map, &globalPool_, &globalQueue_, logs.local.verbose, logs.local.fileName),
      global_(map, logs.global.verbose, logs.global.fileName) {
  const auto wire = [](auto& context, i32 id, auto* worker, auto* in, auto* out) {
    context.id = id;
    context.worker = worker;
    context.in = in;
    context.out = out;
  };
  wire(matcherThread_, 0, &matcher_, &matcherQueue_, &matcherPool_);
  wire(surfThread_, 1, &surf_, &surfQueue_, &surfPool_);
  wire(localThread_, 2, &local_, &localQueue_, &localPool_);
  wire(globalThread_, 3, &global_, &globalQueue_, &globalPool_);
}

EngineWorkers::~EngineWorkers() {
  Stop();
}

WorkerChannels EngineWorkers::Channels() {
  WorkerChannels c;
  c.matcherPool = &matcherPool_;
  c.matcherQueue = &matcherQueue_;
  c.surfPool = &surfPool_;
  c.surfQueue = &surfQueue_;
  c.localPool = &localPool_;
  c.localQueue = &localQueue_;
  return c;
}

bool EngineWorkers::StartServer(const std::string& host, Tracker* tracker, bool requireConnection) {
  const bool connected =
      StartServerLink(server_, host, map_, tracker, &local_, logs_.server.verbose,
                      logs_.server.fileName, requireConnection, nullptr, 3333, parallel_);
  if (!connected && requireConnection) return false;
  tracker->SetServerLink(server_.pool.get(), server_.queue.get());
  serverStarted_ = true;
  return connected;
}

void EngineWorkers::Start() {
  if (started_) return;
  StartWorkerThread(&matcherThread_);
  StartWorkerThread(&surfThread_);
  StartWorkerThread(&localThread_);
  StartWorkerThread(&globalThread_);
  started_ = true;
}

void EngineWorkers::Stop() {
  if (started_) {
    StopWorkerThread(&matcherThread_);
    StopWorkerThread(&surfThread_);
    StopWorkerThread(&localThread_);
    StopWorkerThread(&globalThread_);
    started_ = false;
  }
  if (serverStarted_) {
    StopServerLink(server_);
    serverStarted_ = false;
  }
}
