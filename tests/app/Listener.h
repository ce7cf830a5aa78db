#pragma once
// A listener of the link tests on an ephemeral port of 127.0.0.1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "la/Types.h"

// Accepts one connection.
class Listener {
 public:
  explicit Listener(int receiveBuffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0)
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    ::listen(fd_, 1);
    socklen_t n = sizeof(a);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
  }
  ~Listener() {
    if (reader_.joinable()) reader_.join();
    if (peer_ >= 0) ::close(peer_);
    ::close(fd_);
  }
  u16 Port() const { return port_; }
  // Accepts and reads everything until the client closes, `chunk` bytes a
  // call, pausing `pause` after each call.
  void ReadAll(size_t chunk = 1 << 16, std::chrono::microseconds pause = {}) {
    reader_ = std::thread([this, chunk, pause] {
      peer_ = ::accept(fd_, nullptr, nullptr);
      std::vector<char> buffer(chunk);
      for (;;) {
        const ssize_t n = ::recv(peer_, buffer.data(), chunk, 0);
        if (n <= 0) break;
        received.insert(received.end(), buffer.data(), buffer.data() + n);
        if (pause.count() > 0) std::this_thread::sleep_for(pause);
      }
    });
  }
  // Accepts, then closes at once (closing) or never reads (holding).
  void AcceptAndClose() {
    peer_ = ::accept(fd_, nullptr, nullptr);
    ::close(peer_);
    peer_ = -1;
  }
  void AcceptAndHold() { peer_ = ::accept(fd_, nullptr, nullptr); }
  void Join() { reader_.join(); }

  std::vector<char> received;

 private:
  int fd_ = -1;
  int peer_ = -1;
  u16 port_ = 0;
  std::thread reader_;
};
