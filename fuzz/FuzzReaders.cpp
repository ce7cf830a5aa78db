// The readers of the numerical core on arbitrary bytes: the record stream of
// ReadAlignedArray136 (from a seekable stream and from a pipe, into an owning
// array or one that wraps foreign memory), IMUDelta::Read, and the
// configuration getters with IMU::LoadParameters on "key=value" lines. The
// first byte picks the reader.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "la/AlignedArray.h"
#include "la/Configuration.h"
#include "optimization/IMUDelta.h"
#include "optimization/IMUParameters.h"

namespace {

struct Record136 {
  u8 bytes[136];
};

// The stream as a seekable memory file or as the read end of a pipe (the
// harness's inputs fit the pipe's buffer).
FILE* OpenStream(const uint8_t* bytes, size_t size, bool pipeStream) {
  if (!pipeStream || size > 60000) {
    return size == 0 ? std::tmpfile() : fmemopen(const_cast<uint8_t*>(bytes), size, "rb");
  }
  int fds[2];
  if (pipe(fds) != 0) return nullptr;
  const ssize_t written = size > 0 ? write(fds[1], bytes, size) : 0;
  close(fds[1]);
  if (written != static_cast<ssize_t>(size)) {
    close(fds[0]);
    return nullptr;
  }
  return fdopen(fds[0], "rb");
}

void FuzzRecordStream(FuzzInput& in, const uint8_t* rest, size_t restSize) {
  const bool pipeStream = in.Bool();
  const bool wrap = in.Bool();
  const u32 capacity = in.Byte() % 8;
  const u32 prior = in.Byte() % (capacity + 1);
  // Foreign memory: `capacity` records, then a guard of the same pattern.
  std::vector<Record136> foreign(capacity + 2);
  std::memset(foreign.data(), 0xA5, foreign.size() * sizeof(Record136));
  AlignedArray<Record136> array;
  if (wrap) {
    array.Wrap(foreign.data(), prior, capacity);
  } else {
    array.Resize(prior);
    if (prior > 0) std::memset(array.Data(), 0x5A, prior * sizeof(Record136));
  }
  FILE* f = OpenStream(rest, restSize, pipeStream);
  if (!f) return;
  const bool ok = ReadAlignedArray136(f, array);
  std::fclose(f);
  u32 count = 0;
  if (restSize >= 4) std::memcpy(&count, rest, 4);
  if (ok) {
    FUZZ_CHECK(restSize >= 4 && array.Size() == count);
    FUZZ_CHECK(restSize - 4 >= static_cast<size_t>(count) * sizeof(Record136));
    if (count > 0) FUZZ_CHECK(std::memcmp(array.Data(), rest + 4, count * sizeof(Record136)) == 0);
  } else if (restSize < 4) {
    FUZZ_CHECK(array.Size() == prior);  // no count: untouched
  } else {
    FUZZ_CHECK(array.Size() == 0);
  }
  // Records that do not fit the foreign memory never land in it, and
  // nothing is written past it.
  if (wrap) {
    const u8* raw = reinterpret_cast<const u8*>(foreign.data());
    const size_t untouchedFrom = count > capacity ? 0 : capacity * sizeof(Record136);
    for (size_t i = untouchedFrom; i < foreign.size() * sizeof(Record136); ++i)
      FUZZ_CHECK(raw[i] == 0xA5);
  }
}

void FuzzDeltaRead(const uint8_t* rest, size_t restSize) {
  IMUDelta delta;
  std::memset(&delta, 0x3C, sizeof(delta));
  const IMUDelta before = delta;
  FILE* f = restSize == 0 ? std::tmpfile() : fmemopen(const_cast<uint8_t*>(rest), restSize, "rb");
  if (!f) return;
  const bool ok = delta.Read(f);
  std::fclose(f);
  if (ok) {
    FUZZ_CHECK(restSize >= sizeof(IMUDelta));
    FUZZ_CHECK(std::memcmp(&delta, rest, sizeof(IMUDelta)) == 0);
  } else {
    FUZZ_CHECK(std::memcmp(&delta, &before, sizeof(IMUDelta)) == 0);
  }
}

// Every process-wide double LoadParameters may set.
f64* const kDoubles[18] = {&IMU_DELTA_WEIGHT_POSITION,
                           &IMU_DELTA_WEIGHT_VELOCITY,
                           &IMU_DELTA_WEIGHT_ROTATION,
                           &IMU_VARIANCE_FEATURE_3D,
                           &IMU_VARIANCE_FEATURE_2D,
                           &IMU_VARIANCE_VELOCITY_SMOOTH,
                           &IMU_VARIANCE_VELOCITY_REGULARIZATION,
                           &IMU_VARIANCE_VELOCITY_TIME_DEVIATION,
                           &IMU_VARIANCE_ACCELERATION,
                           &IMU_VARIANCE_ACCELERATION_BIAS_SMOOTH,
                           &IMU_VARIANCE_ACCELERATION_BIAS_REGULARIZATION,
                           &IMU_VARIANCE_ROTATION_RATE,
                           &IMU_VARIANCE_ROTATION_RATE_BIAS_SMOOTH,
                           &IMU_VARIANCE_ROTATION_RATE_BIAS_REGULARIZATION,
                           &IMU_VARIANCE_GRAVITY,
                           &IMU_VARIANCE_GRAVITY_TIME_DEVIATION,
                           &IMU_VARIANCE_PLANE,
                           &IMU_VARIANCE_PLANE_GROUND};

struct Parameters {
  f32 f[3];
  f64 d[18];
  static void Get(Parameters& p) {
    p.f[0] = IMU_INITIAL_HEIGHT;
    p.f[1] = IMU_MARKER_WIDTH;
    p.f[2] = IMU_MARKER_HEIGHT;
    for (int i = 0; i < 18; ++i) p.d[i] = *kDoubles[i];
  }
  static void Set(const Parameters& p) {
    IMU_INITIAL_HEIGHT = p.f[0];
    IMU_MARKER_WIDTH = p.f[1];
    IMU_MARKER_HEIGHT = p.f[2];
    for (int i = 0; i < 18; ++i) *kDoubles[i] = p.d[i];
  }
};

void FuzzConfiguration(const uint8_t* rest, size_t restSize) {
  static Parameters defaults;
  static const bool saved = (Parameters::Get(defaults), true);
  (void)saved;
  // "key=value" lines, as a configuration reader hands them over.
  Configuration config;
  const std::string text(reinterpret_cast<const char*>(rest), restSize);
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    const size_t eq = line.find('=');
    if (eq != std::string::npos) config[line.substr(0, eq)] = line.substr(eq + 1);
    at = end + 1;
  }
  // The loaders' warning lines go to a null stream (millions of them would
  // fill the log); sanitizer reports write to the descriptor and still show.
  static FILE* const null = std::fopen("/dev/null", "w");
  FILE* const errors = stderr;
  if (null) stderr = null;
  for (const auto& entry : config) {
    const i32 value = ConfigGetInt(config, entry.first, -7);
    errno = 0;
    const long long wide = std::strtoll(entry.second.c_str(), nullptr, 10);
    const bool fits = errno != ERANGE && wide >= INT32_MIN && wide <= INT32_MAX;
    FUZZ_CHECK(value == (fits ? static_cast<i32>(wide) : -7));
    (void)ConfigGetDouble(config, entry.first, 0.0);
  }
  IMU::LoadParameters(config);
  stderr = errors;
  Parameters loaded;
  Parameters::Get(loaded);
  FUZZ_CHECK(AllFinite(loaded.f, 3));
  for (const f64 d : loaded.d) FUZZ_CHECK(std::isfinite(d));
  // Put the defaults back for the next input.
  Parameters::Set(defaults);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size == 0) return 0;
  const u8 selector = bytes[0];
  switch (selector % 3) {
    case 0: {
      // Four bytes of options, then the stream.
      if (size < 5) return 0;
      FuzzInput options(bytes + 1, 4);
      FuzzRecordStream(options, bytes + 5, size - 5);
      break;
    }
    case 1:
      FuzzDeltaRead(bytes + 1, size - 1);
      break;
    default:
      FuzzConfiguration(bytes + 1, size - 1);
      break;
  }
  return 0;
}
