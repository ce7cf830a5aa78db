#pragma once
// Listeners on the server port, 127.0.0.1:3333, for the tests of the server
// link. The port is fixed: tests that use it must not run beside each other.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

// A socket bound to 127.0.0.1:3333, listening or (refusing) not, with the
// receive buffer its connections start with when receiveBuffer is above 0.
// Another program may hold the port for a moment: binding is retried for a
// while; -1 when it never frees.
inline int BindPort3333(bool listening, int receiveBuffer = 0) {
  for (int attempt = 0; attempt < 300; ++attempt) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0), one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (receiveBuffer > 0)
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(3333);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
        (!listening || ::listen(fd, 4) == 0)) {
      return fd;
    }
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return -1;
}

// A server that accepts one connection and never reads from it, through a
// 4 KiB receive buffer: once the socket buffers are full, every send to it
// blocks.
class StalledServer {
 public:
  StalledServer() : fd_(BindPort3333(true, 4096)) {
    if (fd_ >= 0) thread_ = std::thread([this] { AcceptOne(); });
  }
  ~StalledServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    Release();
    if (fd_ >= 0) ::close(fd_);
  }
  StalledServer(const StalledServer&) = delete;
  StalledServer& operator=(const StalledServer&) = delete;

  bool Listening() const { return fd_ >= 0; }
  bool Accepted() const { return peer_ >= 0; }
  // Drops the connection: a client blocked in a send to it gets an error.
  void Release() {
    const int peer = peer_.exchange(-1);
    if (peer >= 0) ::close(peer);
  }

 private:
  void AcceptOne() {
    while (!stop_ && peer_ < 0) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) == 1) peer_ = ::accept(fd_, nullptr, nullptr);
    }
  }

  int fd_;
  std::atomic<int> peer_{-1};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};
