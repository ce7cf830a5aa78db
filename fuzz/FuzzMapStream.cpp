// ReadMap on arbitrary bytes from a pipe, which cannot be measured: the
// verdict and the map equal those of the same bytes from a seekable stream,
// no single allocation asks for much more than the bytes that came, an
// accepted map has consumed exactly its section and saves to bytes that read
// back to the same bytes, and a refused one leaves the map as it was.
#include <sanitizer/allocator_interface.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "FuzzInput.h"
#include "FuzzMapSupport.h"
#include "mapping/BinaryFile.h"
#include "mapping/MapFile.h"

namespace {

// The largest single allocation while `watching` is set (any thread).
std::atomic<bool> watching{false};
std::atomic<size_t> largest{0};

void OnMalloc(const volatile void*, size_t size) {
  if (!watching.load(std::memory_order_relaxed)) return;
  size_t seen = largest.load(std::memory_order_relaxed);
  while (size > seen && !largest.compare_exchange_weak(seen, size)) {
  }
}
void OnFree(const volatile void*) {}

const bool hooked = __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree) != 0;

// SaveMap's bytes; empty when it fails.
std::string Saved(const GlobalMap& map) {
  FILE* f = std::tmpfile();
  if (!f) return std::string();
  const bool ok = SaveMap(map, f);
  std::rewind(f);
  const std::string bytes = ok ? Rest(f) : std::string();
  std::fclose(f);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FUZZ_CHECK(hooked);
  GlobalMap piped, measured;
  MarkDestination(piped);
  MarkDestination(measured);
  const MapFingerprint before = MapFingerprint::Of(piped);

  FILE* pipeStream = PipeStream(bytes, size);
  if (!pipeStream) return 0;
  largest = 0;
  watching = true;
  const bool ok = ReadMap(piped, pipeStream);
  watching = false;
  const std::string pipeRest = Rest(pipeStream);
  std::fclose(pipeStream);
  // Storage follows the bytes: a list of tracks costs a few times its
  // stream bytes, and what is made ahead of them is one read step.
  const size_t bound = 16 * size + 4 * BinaryReader::kUnmeasuredStep;
  if (largest > bound) dprintf(2, "allocated %zu for %zu bytes\n", largest.load(), size);
  FUZZ_CHECK(largest <= bound);

  FILE* memoryStream = MemoryStream(bytes, size);
  if (!memoryStream) return 0;
  FUZZ_CHECK(ReadMap(measured, memoryStream) == ok);
  std::fclose(memoryStream);

  if (!ok) {
    FUZZ_CHECK(MapFingerprint::Of(piped) == before);
    FUZZ_CHECK(MapFingerprint::Of(measured) == before);
    return 0;
  }
  FUZZ_CHECK(piped.CheckInvariants());
  FUZZ_CHECK(piped.ModificationCounter() > before.counter);
  const std::string saved = Saved(piped);
  FUZZ_CHECK(!saved.empty() && saved == Saved(measured));
  // The section ends where the saved map ends; what follows stays in the pipe.
  FUZZ_CHECK(saved.size() <= size && pipeRest.size() == size - saved.size());
  FUZZ_CHECK(pipeRest.compare(0, std::string::npos,
                              reinterpret_cast<const char*>(bytes) + saved.size(),
                              pipeRest.size()) == 0);
  // Saved bytes are a fixed point of reading and saving.
  GlobalMap again;
  FILE* savedStream = PipeStream(saved.data(), saved.size());
  if (!savedStream) return 0;
  FUZZ_CHECK(ReadMap(again, savedStream));
  std::fclose(savedStream);
  FUZZ_CHECK(Saved(again) == saved);
  return 0;
}
