/* A host written in C against the exported header: the records have the
 * layout the header pins, calls without an engine are inert, and an engine
 * is created, runs black frames with readings and priors, refuses an object
 * without a map to hold it and is destroyed, twice, at two sizes. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "app/zevrion.h"

static int failures = 0;
#define CHECK(c)                                                     \
  do {                                                               \
    if (!(c)) {                                                      \
      fprintf(stderr, "%s:%d: %s failed\n", __FILE__, __LINE__, #c); \
      ++failures;                                                    \
    }                                                                \
  } while (0)

static void RunFrames(int width, int height, int frames) {
  uint8_t* pixels = (uint8_t*)calloc((size_t)width * height, 1);
  HostImuSample imu[4];
  double prior[8] = {0, 0, 0, 1, 0, 0, 0, 0};
  TrackingResult out;
  for (int k = 0; k < frames; ++k) {
    HostFrame frame = {pixels, 1.0 + k / 30.0, NULL};
    for (int i = 0; i < 4; ++i) {
      imu[i].type = i % 2;
      imu[i].x = 0.0;
      imu[i].y = 0.0;
      imu[i].z = i % 2 ? 0.01 : -1.0;
      imu[i].time = frame.time - (4 - i) * 0.005;
    }
    prior[7] = frame.time;
    CHECK(ZevrionRunTracking(&out, &frame, imu, 4, prior) == &out);
    /* The start frame reports its pose; flat frames after it hold the
     * anchored map without a marker. */
    CHECK(k == 0 ? out.status == 1 : out.status >= 1 && out.status <= 3);
    CHECK(out.objectCount == 0);
  }
  free(pixels);
}

int main(void) {
  TrackingResult out;
  memset(&out, 0x5a, sizeof(out));
  HostFrame none = {NULL, 0.0, NULL};
  CHECK(ZevrionRunTracking(&out, &none, NULL, 0, NULL) == &out && out.status == 0);
  CHECK(!ZevrionDeregisterObject(3));
  CHECK(strlen(ZevrionLocalDay()) == 8);

  const float lens[9] = {400.0f, 400.0f, 319.5f, 239.5f, -0.2f, 0.0f, 0.0f, 0.0f, 0.0f};
  ZevrionCreate(640, 480, 80.0, 0.0, 0.0, 1.1f, 0.297f, 0.21f, false, false, NULL, lens);
  ZevrionStartTracking(NULL, 0);
  RunFrames(640, 480, 5);
  RegisteredObject object = {7, 1.0f, {0, 0, 0, 1}, {0, 0, 0}};
  CHECK(!ZevrionRegisterObject(&object)); /* no map to anchor it on */
  ZevrionDestroy();

  ZevrionCreate(320, 240, 60.0, 0.0, 0.0, 1.1f, 0.297f, 0.21f, true, false, NULL, NULL);
  ZevrionStartTracking(NULL, 0);
  RunFrames(320, 240, 5);
  ZevrionDestroy();
  if (failures == 0) printf("C host: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
