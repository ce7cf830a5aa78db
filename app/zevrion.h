/* The engine's exported interface: one process-wide engine driven by a
 * host through thirteen functions and fixed binary records. The calls are
 * meant to come from one host thread; calls made from several threads at
 * once do not run together but one after the other, each waiting on one
 * process-wide lock (a long ZevrionRunTracking holds up the others). The
 * records and the storage that a result points into are shared: a result is
 * only good until the next call from any thread. Include it from C99 or
 * later, or C++. */
#ifndef ZEVRION_H
#define ZEVRION_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One grey frame: height rows of width bytes, top row first. */
typedef struct HostFrame {
  const uint8_t* pixels;
  double time;         /* seconds, any origin */
  const float* marker; /* 10 floats (four corners, height, width) or null */
} HostFrame;

/* One inertial reading: type 0 accelerometer (g), 1 gyroscope (rad/s). */
typedef struct HostImuSample {
  int32_t type;
  double x, y, z;
  double time; /* the frames' clock */
} HostImuSample;

typedef struct RegisteredObject {
  int32_t id; /* chosen by the host, unique among registered objects */
  float scale;
  float quaternion[4]; /* x, y, z, w */
  float position[3];
} RegisteredObject;

typedef struct TrackingResult {
  int32_t status;      /* 0 no map yet, 1 started, 2 tracking, 3 lost, 4 tracking and the server
                          flag set */
  float quaternion[4]; /* camera orientation (x, y, z, w) */
  float centre[3];     /* camera centre */
  uint8_t zero[24];
  int32_t planeCount;
  const float* planes; /* planeCount x (nx, ny, nz, d) */
  RegisteredObject* objects;
  int32_t objectCount;
  float parallax; /* map initialisation: parallax and progress */
  float progress;
  const char* text; /* the frame's statistics */
} TrackingResult;

void ZevrionCreate(int width, int height, double hfovDegrees, double extrinsicX, double extrinsicY,
                   float initialHeight, float markerWidth, float markerHeight, bool parallel,
                   bool verbose, const void* markerTemplate, const float* lens);
void ZevrionSetServer(const char* host);
void ZevrionDestroy(void);
void ZevrionStartTracking(const HostImuSample* imu, int count);
TrackingResult* ZevrionRunTracking(TrackingResult* out, const HostFrame* frame,
                                   const HostImuSample* imu, int count, const double* prior);
/* Drops the map and the registered objects; frames get status 0 until
 * ZevrionStartTracking starts the next run. */
void ZevrionResetTracking(void);
void ZevrionStartMarkerDetection(void);
void ZevrionResetMarkerDetection(void);
float* ZevrionRunMarkerDetection(float* out, const HostFrame* frame, const double* prior);
bool ZevrionRegisterObject(const RegisteredObject* object);
bool ZevrionDeregisterObject(int id);
const char* ZevrionLocalDay(void);
void ZevrionSaveFile(const char* path);

#ifdef __cplusplus
}
#endif

/* The layout the host relies on, checked where the compiler has static
 * assertions (C11, C++11); C99 has none. */
#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L)
#ifndef __cplusplus
#include <assert.h>
#endif
#include <stddef.h>
static_assert(sizeof(HostFrame) == 24, "HostFrame is 24 bytes");
static_assert(sizeof(HostImuSample) == 40, "HostImuSample is 40 bytes");
static_assert(sizeof(RegisteredObject) == 36, "RegisteredObject is 36 bytes");
static_assert(sizeof(TrackingResult) == 104, "TrackingResult is 104 bytes");
static_assert(offsetof(TrackingResult, quaternion) == 4 && offsetof(TrackingResult, centre) == 20 &&
                  offsetof(TrackingResult, zero) == 32 &&
                  offsetof(TrackingResult, planeCount) == 56 &&
                  offsetof(TrackingResult, planes) == 64 &&
                  offsetof(TrackingResult, objects) == 72 &&
                  offsetof(TrackingResult, objectCount) == 80 &&
                  offsetof(TrackingResult, parallax) == 84 &&
                  offsetof(TrackingResult, progress) == 88 && offsetof(TrackingResult, text) == 96,
              "TrackingResult offsets");
#endif

#endif
