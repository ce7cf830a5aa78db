// The thirteen exported functions over one process-wide engine. Without an
// engine (before ZevrionCreate, after ZevrionDestroy, after a refused
// Create) every call is inert. Every call holds one process-wide lock: the
// engine is single-threaded, and a host that calls from two threads gets its
// calls one after the other instead of a corrupted engine.
#include <cfloat>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

#include "app/HostEngine.h"
#include "optimization/IMUParameters.h"

#define ZEVRION_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Declared before the engine so that it outlives it at exit.
std::mutex callLock;
std::unique_ptr<HostEngine> engine;
// Outlives engines, so that a smaller frame reuses its weight buffer.
UndistortionTable undistortion;
char localDay[16];

}  // namespace

ZEVRION_EXPORT void ZevrionCreate(int width, int height, double hfovDegrees, double extrinsicX,
                                  double extrinsicY, float initialHeight, float markerWidth,
                                  float markerHeight, bool parallel, bool verbose,
                                  const void* markerTemplate, const float* lens) {
  std::lock_guard<std::mutex> hold(callLock);
  if (engine) {
    std::fprintf(stderr,
                 "ZevrionCreate: an engine of %dx%d exists and stays; call ZevrionDestroy first\n",
                 engine->Width(), engine->Height());
    return;
  }
  HostSettings settings;
  settings.width = width;
  settings.height = height;
  settings.hfovDegrees = hfovDegrees;
  settings.extrinsicX = extrinsicX;
  settings.extrinsicY = extrinsicY;
  settings.parallel = parallel;
  settings.verbose = verbose;
  settings.markerTemplate = markerTemplate;
  std::string why;
  // The engine's threads read these; none runs yet.
  IMU_INITIAL_HEIGHT = initialHeight;
  IMU_MARKER_WIDTH = markerWidth;
  IMU_MARKER_HEIGHT = markerHeight;
  engine = HostEngine::Create(settings, why);
  if (!engine) {
    std::fprintf(stderr, "ZevrionCreate: %s: no engine\n", why.c_str());
    return;
  }
  if (lens != nullptr) {
    const LensModel model{lens[0], lens[1], lens[2], lens[3], lens[4],
                          lens[5], lens[6], lens[7], lens[8]};
    undistortion.Build(width, height, engine->Camera(), model);
  } else {
    undistortion.Clear();
  }
}

ZEVRION_EXPORT void ZevrionSetServer(const char* host) {
  std::lock_guard<std::mutex> hold(callLock);
  if (engine && host != nullptr) engine->SetServer(host);
}

ZEVRION_EXPORT void ZevrionDestroy(void) {
  std::lock_guard<std::mutex> hold(callLock);
  engine.reset();
  undistortion.Clear();
}

ZEVRION_EXPORT void ZevrionStartTracking(const HostImuSample* imu, int count) {
  std::lock_guard<std::mutex> hold(callLock);
  if (engine) engine->StartTracking(imu, count);
}

ZEVRION_EXPORT TrackingResult* ZevrionRunTracking(TrackingResult* out, const HostFrame* frame,
                                                  const HostImuSample* imu, int count,
                                                  const double* prior) {
  std::lock_guard<std::mutex> hold(callLock);
  if (out == nullptr) return out;
  if (!engine || frame == nullptr || frame->pixels == nullptr) {
    *out = TrackingResult{};
    return out;
  }
  engine->RunTracking(*out, *frame, imu, count, prior, undistortion);
  return out;
}

ZEVRION_EXPORT void ZevrionResetTracking(void) {
  std::lock_guard<std::mutex> hold(callLock);
  if (engine) engine->ResetTracking();
}

ZEVRION_EXPORT void ZevrionStartMarkerDetection(void) {
  std::lock_guard<std::mutex> hold(callLock);
  if (engine) engine->ResetMarkerDetection();
}

ZEVRION_EXPORT void ZevrionResetMarkerDetection(void) {
  std::lock_guard<std::mutex> hold(callLock);
  if (engine) engine->ResetMarkerDetection();
}

ZEVRION_EXPORT float* ZevrionRunMarkerDetection(float* out, const HostFrame* frame,
                                                const double* prior) {
  std::lock_guard<std::mutex> hold(callLock);
  if (out == nullptr) return out;
  if (!engine || frame == nullptr || frame->pixels == nullptr) {
    for (int i = 0; i < 10; ++i) out[i] = -1.0f;
    return out;
  }
  engine->RunMarkerDetection(out, *frame, prior, undistortion);
  return out;
}

ZEVRION_EXPORT bool ZevrionRegisterObject(const RegisteredObject* object) {
  std::lock_guard<std::mutex> hold(callLock);
  return engine && object != nullptr && engine->RegisterObject(*object);
}

ZEVRION_EXPORT bool ZevrionDeregisterObject(int id) {
  std::lock_guard<std::mutex> hold(callLock);
  return engine && engine->DeregisterObject(id);
}

ZEVRION_EXPORT const char* ZevrionLocalDay(void) {
  std::lock_guard<std::mutex> hold(callLock);
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr ||
      std::strftime(localDay, sizeof(localDay), "%Y%m%d", &local) == 0) {
    localDay[0] = '\0';
  }
  return localDay;
}

ZEVRION_EXPORT void ZevrionSaveFile(const char* path) {
  std::lock_guard<std::mutex> hold(callLock);
  // The host has no result to test, so a state that was not written says so.
  if (path == nullptr || path[0] == '\0') {
    std::fprintf(stderr, "ZevrionSaveFile: no file name given: nothing saved\n");
  } else if (!engine) {
    std::fprintf(stderr, "ZevrionSaveFile: no engine: '%s' not saved\n", path);
  } else if (!engine->SaveFile(path)) {
    std::fprintf(stderr, "ZevrionSaveFile: cannot write '%s': nothing saved\n", path);
  }
}
