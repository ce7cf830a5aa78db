#pragma once
// The server adjustor (worker thread 5), made only with a server link. It
// shares the global adjustor's members and busy flag; its run does nothing.
#include "estimation/CameraEstimator.h"
#include "mapping/BundleAdjustorGlobal.h"

class TcpClient;
class Tracker;

class BundleAdjustorServer : public BundleAdjustorGlobal {
 public:
  BundleAdjustorServer(TcpClient* client, Tracker* tracker, GlobalMap* map, u8 verbose,
                       const std::string& logFileName);
  // Nothing to do.
  void Run(const u8*) override {}

  TcpClient* client;
  Tracker* tracker;
  CameraEstimator cameraEstimator;
  CameraEstimatorData cameraData;
  IBAProblem serverProblem;
};
