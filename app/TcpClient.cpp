#include "app/TcpClient.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

TcpClient::~TcpClient() {
  Close();
}

void TcpClient::Close() {
  const int fd = socket_.exchange(-1);
  if (fd >= 0) ::close(fd);
}

bool TcpClient::Connect(const char* host, u16 port) {
  Close();
  broken_ = false;
  if (host == nullptr || host[0] == '\0') return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  char service[8];
  std::snprintf(service, sizeof(service), "%u", static_cast<unsigned>(port));
  if (getaddrinfo(host, service, &hints, &found) != 0 || found == nullptr) return false;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  bool connected = false;
  if (fd >= 0) {
    int r;
    do {
      r = ::connect(fd, found->ai_addr, found->ai_addrlen);
    } while (r != 0 && errno == EINTR);
    connected = r == 0;
  }
  freeaddrinfo(found);
  if (!connected) {
    if (fd >= 0) ::close(fd);
    return false;
  }
  socket_ = fd;
  return true;
}

bool TcpClient::SendAll(const void* data, size_t size) {
  const int fd = socket_;
  if (fd < 0 || broken_) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      broken_ = true;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool TcpClient::SendMessage(const ClientSendingData& message) {
  const i32 head[5] = {message.type, message.frameId, message.value,
                       static_cast<i32>(message.image.size().x),
                       static_cast<i32>(message.image.size().y)};
  if (!SendAll(head, sizeof(head))) return false;
  const size_t bytes =
      static_cast<size_t>(message.image.row_stride()) * static_cast<size_t>(message.image.size().y);
  if (bytes > 0 && !SendAll(message.image.data(), bytes)) return false;
  return SendAll(&message.flag, sizeof(message.flag));
}

void TcpClient::Shutdown() {
  const int fd = socket_;
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void ClientSender::Run(const ClientSendingData* message) {
  if (message != nullptr && client != nullptr) client->SendMessage(*message);
}
