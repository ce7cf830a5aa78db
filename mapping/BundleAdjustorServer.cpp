#include "mapping/BundleAdjustorServer.h"

BundleAdjustorServer::BundleAdjustorServer(TcpClient* client, Tracker* tracker, GlobalMap* map,
                                           u8 verbose, const std::string& logFileName)
    : BundleAdjustorGlobal(map, verbose, logFileName),
      client(client),
      tracker(tracker),
      cameraEstimator(0.0f) {
  solver.maxIterations = 30;
  solver.initialDamping = 0.001f;
}
