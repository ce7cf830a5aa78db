#pragma once
// A listener of the link tests on an ephemeral port of 127.0.0.1, and the
// bytes a message makes on the wire.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "la/ClientSendingData.h"

// Accepts one connection.
class Listener {
 public:
  // A receiveBuffer above 0 shrinks the kernel's receive buffer.
  explicit Listener(int receiveBuffer = 0) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    if (receiveBuffer > 0)
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof(a);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), n);
    ::listen(fd_, 1);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port = ntohs(a.sin_port);
  }
  ~Listener() {
    Join();
    if (peer_ >= 0) ::close(peer_);
    ::close(fd_);
  }
  // On a thread: accepts and reads everything until the client closes,
  // `chunk` bytes a call, pausing `pause` after each call.
  void ReadAll(size_t chunk = 1 << 16, std::chrono::microseconds pause = {}) {
    reader_ = std::thread([this, chunk, pause] {
      Accept();
      std::vector<char> buffer(chunk);
      for (ssize_t n; (n = ::recv(peer_, buffer.data(), chunk, 0)) > 0;) {
        received.insert(received.end(), buffer.data(), buffer.data() + n);
        std::this_thread::sleep_for(pause);
      }
    });
  }
  // Accepts, then closes at once (thenClose) or never reads.
  void Accept(bool thenClose = false) {
    peer_ = ::accept(fd_, nullptr, nullptr);
    if (!thenClose) return;
    ::close(peer_);
    peer_ = -1;
  }
  void Join() {
    if (reader_.joinable()) reader_.join();
  }

  u16 port = 0;
  std::vector<char> received;

 private:
  int fd_ = -1;
  int peer_ = -1;
  std::thread reader_;
};

// A message on the wire: type, frame id, value, width, height, the pixels
// row by row, the flag.
inline std::vector<char> Wire(const ClientSendingData& m) {
  const i32 head[5] = {m.type, m.frameId, m.value, m.image.size().x, m.image.size().y};
  std::vector<char> out(reinterpret_cast<const char*>(head),
                        reinterpret_cast<const char*>(head + 5));
  const char* p = reinterpret_cast<const char*>(m.image.data());
  out.insert(out.end(), p, p + m.image.size().x * m.image.size().y);
  const char* flag = reinterpret_cast<const char*>(&m.flag);
  out.insert(out.end(), flag, flag + 4);
  return out;
}
