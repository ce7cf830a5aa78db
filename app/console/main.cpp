// The console program: one configuration file in, the engine run over it.
// SIGINT and SIGTERM end a run as Escape does, with every output written; the
// same signal again ends the process at once.
#include <atomic>
#include <csignal>
#include <cstdio>

#include "app/Application.h"

namespace {

std::atomic<Application*> running{nullptr};

extern "C" void OnStopSignal(int) {
  if (Application* application = running.load()) application->RequestStop();
}

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // The handler only raises a flag: calls it interrupts carry on, and the
  // next signal takes the default action.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <configuration file>\n", argv[0]);
    return 2;
  }
  Application application(argv[1]);
  if (!application.Ready()) return application.ExitCode();
  running = &application;
  CatchStopSignals();
  const int code = application.Run();
  running = nullptr;
  return code;
}
