/* A host written in C against the exported header: the records have the
 * layout the header pins, calls without an engine are inert, and an engine
 * is created, runs black frames with readings and priors, refuses an object
 * without a map to hold it and is destroyed, twice, at two sizes. Given the
 * folder of the demo sequence, it also tracks the demo's frame records with
 * their readings and priors: no pose before tracking starts, then the start
 * pose twice, then tracking; an object registered in the map keeps its place
 * in it; the state is saved (when the build has a state file). */
#include <math.h>
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
  double prior[8] = {0, 0, 0, 1, 0, 0, 0, 0};
  TrackingResult out;
  for (int k = 0; k < frames; ++k) {
    HostFrame frame = {pixels, 1.0 + k / 30.0, NULL};
    HostImuSample imu[4];
    for (int i = 0; i < 4; ++i) {
      const HostImuSample s = {i % 2, 0.0, 0.0, i % 2 ? 0.01 : -1.0, frame.time - (4 - i) * 0.005};
      imu[i] = s;
    }
    prior[7] = frame.time;
    CHECK(ZevrionRunTracking(&out, &frame, imu, 4, prior) == &out);
    /* Flat frames hold nothing to build a map on: no frame gets a pose,
     * and tracking never reports that it started. */
    CHECK(out.status == 0);
    CHECK(out.objectCount == 0);
  }
  free(pixels);
}

/* One frame record of the demo: the host's own format, readings in g and
 * rad/s, a prior whose time is negative when there is none. */
typedef struct DemoFrame {
  int32_t width, height, count;
  double time, prior[8];
  uint8_t pixels[640 * 480];
  HostImuSample imu[256];
} DemoFrame;

static int ReadExactly(FILE* f, void* to, size_t bytes) {
  return fread(to, 1, bytes, f) == bytes;
}

static int LoadDemoFrame(const char* folder, int k, DemoFrame* frame) {
  char name[1024];
  snprintf(name, sizeof(name), "%s/frames/%04d.dat", folder, k);
  FILE* f = fopen(name, "rb");
  if (f == NULL) return 0;
  int ok = ReadExactly(f, &frame->width, 4) && ReadExactly(f, &frame->height, 4) &&
           ReadExactly(f, &frame->time, 8) && frame->width == 640 && frame->height == 480 &&
           ReadExactly(f, frame->pixels, sizeof(frame->pixels)) &&
           ReadExactly(f, &frame->count, 4) && frame->count >= 0 && frame->count <= 256;
  for (int i = 0; ok && i < frame->count; ++i) {
    HostImuSample* s = &frame->imu[i];
    ok = ReadExactly(f, &s->type, 4);
    if (ok && (s->type == 0 || s->type == 1)) {
      ok = ReadExactly(f, &s->x, 8) && ReadExactly(f, &s->y, 8) && ReadExactly(f, &s->z, 8);
    }
    ok = ok && ReadExactly(f, &s->time, 8);
  }
  ok = ok && ReadExactly(f, frame->prior, sizeof(frame->prior));
  fclose(f);
  return ok;
}

static int Finite(const TrackingResult* out) {
  for (int i = 0; i < 4; ++i)
    if (!isfinite(out->quaternion[i]) || (i < 3 && !isfinite(out->centre[i]))) return 0;
  return 1;
}

/* The demo's marker observation: four corners, then height and width. */
static int LoadMarker(const char* folder, float marker[10]) {
  char name[1024];
  snprintf(name, sizeof(name), "%s/marker.txt", folder);
  FILE* f = fopen(name, "r");
  if (f == NULL) return 0;
  int read = 0;
  while (read < 10 && fscanf(f, "%f", &marker[read]) == 1) ++read;
  fclose(f);
  return read == 10;
}

static void RunDemo(const char* folder) {
  enum { kFrames = 60, kRegisterAt = 20, kDeregisterAt = 45 };
  float marker[10];
  CHECK(LoadMarker(folder, marker));
  /* The demo camera: fx 500 at width 640, centred, no lens. */
  const double hfov = 2.0 * atan(320.0 / 500.0) / 0.01745329238474369;
  ZevrionCreate(640, 480, hfov, 0.0, 0.0, 1.1f, marker[9], marker[8], false, false, NULL, NULL);
  static DemoFrame frame;
  TrackingResult out;
  /* Before tracking starts the tracker is looking for the marker: no pose. */
  CHECK(LoadDemoFrame(folder, 0, &frame));
  HostFrame early = {frame.pixels, frame.time, NULL};
  CHECK(ZevrionRunTracking(&out, &early, NULL, 0, NULL)->status == 0);

  ZevrionStartTracking(NULL, 0);
  const RegisteredObject object = {7, 1.0f, {0, 0, 0, 1}, {0.1f, 0.05f, 0.0f}};
  float drift = 0.0f;
  for (int k = 0; k < kFrames; ++k) {
    if (!LoadDemoFrame(folder, k, &frame)) {
      fprintf(stderr, "cannot read frame %d of '%s'\n", k, folder);
      ++failures;
      break;
    }
    const HostFrame host = {frame.pixels, frame.time, k == 0 ? marker : NULL};
    ZevrionRunTracking(&out, &host, frame.imu, frame.count,
                       frame.prior[7] >= 0 ? frame.prior : NULL);
    /* The start pose twice (just started), then tracking. */
    if (out.status != (k < 2 ? 1 : 2)) fprintf(stderr, "frame %d: status %d\n", k, out.status);
    CHECK(out.status == (k < 2 ? 1 : 2) && Finite(&out) && out.text != NULL);
    /* Objects counted from the frame after registration to deregistration. */
    CHECK(out.objectCount == (k > kRegisterAt && k <= kDeregisterAt));
    CHECK(out.objectCount == 0 || out.objects != NULL);
    if (k == kRegisterAt) {
      /* A record with a NaN would put NaN into the object's pose for good. */
      const RegisteredObject spoilt = {8, 1.0f, {0, 0, 0, 1}, {0.1f, NAN, 0.0f}};
      CHECK(!ZevrionRegisterObject(&spoilt));
      /* On the marker sheet's plane, beside its origin; then the id is taken. */
      CHECK(ZevrionRegisterObject(&object));
      CHECK(!ZevrionRegisterObject(&object));
    } else if (k == kDeregisterAt) {
      CHECK(ZevrionDeregisterObject(7));
      CHECK(!ZevrionDeregisterObject(7));
    } else if (out.objectCount == 1 && out.objects != NULL) {
      const RegisteredObject* o = &out.objects[0];
      CHECK(o->id == 7 && fabsf(o->scale - 1.0f) < 0.05f);
      const float dx = o->position[0] - object.position[0],
                  dy = o->position[1] - object.position[1],
                  dz = o->position[2] - object.position[2];
      drift = fmaxf(drift, sqrtf(dx * dx + dy * dy + dz * dz));
    }
  }
  /* The map stands still in the world: the object stays where it was put. */
  if (drift >= 0.02f) fprintf(stderr, "object moved by %g\n", drift);
  CHECK(drift < 0.02f);

  char state[1024];
  snprintf(state, sizeof(state), "%s/host_state.bin", folder);
  remove(state);
  ZevrionSaveFile(state);
  FILE* saved = fopen(state, "rb");
  CHECK(saved != NULL);
  if (saved != NULL) fclose(saved);
  ZevrionDestroy();
}

/* A small engine without a lens, after one of another size. */
static void RunSmall(int frames) {
  ZevrionCreate(320, 240, 60.0, 0.0, 0.0, 1.1f, 0.297f, 0.21f, true, false, NULL, NULL);
  ZevrionStartTracking(NULL, 0);
  RunFrames(320, 240, frames);
  ZevrionDestroy();
}

int main(int argc, char** argv) {
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
  RunSmall(5);
  if (argc > 1) {
    RunDemo(argv[1]);
    RunSmall(3);
  }
  if (failures == 0) printf("C host: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
