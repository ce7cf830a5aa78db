#include "app/TcpClient.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// Waits until the socket takes bytes, or has the result of a connect, but
// never past the deadline; interruptions are waited through. 1 ready, 0 the
// deadline passed, -1 an error (errno says which).
int WaitWritable(int fd, Clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    pollfd ready{fd, POLLOUT, 0};
    const int r = ::poll(&ready, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    return r < 0 ? -1 : r;
  }
}

}  // namespace

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
  // Non-blocking, so that a server whose queue is full or whose address
  // drops the handshake costs the start one deadline, not the system's
  // two-minute connect timeout. Sends poll and never block either.
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  bool connected = false;
  if (fd >= 0) {
    const Clock::time_point deadline = Clock::now() + deadline_.load();
    const int r = ::connect(fd, found->ai_addr, found->ai_addrlen);
    connected = r == 0;
    if (r != 0 && (errno == EINPROGRESS || errno == EINTR) && WaitWritable(fd, deadline) > 0) {
      int error = 0;
      socklen_t size = sizeof(error);
      connected = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    }
  }
  freeaddrinfo(found);
  if (!connected) {
    if (fd >= 0) ::close(fd);
    return false;
  }
  socket_ = fd;
  return true;
}

void TcpClient::Break(const char* why) {
  if (!broken_.exchange(true)) {
    std::fprintf(stderr, "Server link: %s: going on without the server\n", why);
  }
}

bool TcpClient::SendUntil(const void* data, size_t size, Clock::time_point deadline) {
  const int fd = socket_;
  if (fd < 0 || broken_) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    // Waits for room in the socket buffer, never past the deadline: a send
    // that blocked would wait on a stalled server for ever.
    const int r = WaitWritable(fd, deadline);
    if (r == 0) {
      char why[96];
      std::snprintf(why, sizeof(why), "a message did not go out within %.1f s",
                    static_cast<double>(deadline_.load().count()) / 1000.0);
      Break(why);
      return false;
    }
    const ssize_t n = r < 0 ? -1 : ::send(fd, p, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) {
      char why[96];
      std::snprintf(why, sizeof(why), "sending failed (%s)",
                    n < 0 ? std::strerror(errno) : "the connection closed");
      Break(why);
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool TcpClient::SendAll(const void* data, size_t size) {
  return SendUntil(data, size, Clock::now() + deadline_.load());
}

bool TcpClient::SendMessage(const ClientSendingData& message) {
  const Clock::time_point deadline = Clock::now() + deadline_.load();
  const i32 head[5] = {message.type, message.frameId, message.value,
                       static_cast<i32>(message.image.size().x),
                       static_cast<i32>(message.image.size().y)};
  if (!SendUntil(head, sizeof(head), deadline)) return false;
  const size_t bytes =
      static_cast<size_t>(message.image.row_stride()) * static_cast<size_t>(message.image.size().y);
  if (bytes > 0 && !SendUntil(message.image.data(), bytes, deadline)) return false;
  return SendUntil(&message.flag, sizeof(message.flag), deadline);
}

void TcpClient::Shutdown(const char* why) {
  // Broken first: the send this ends then fails without a message of its own.
  if (why != nullptr)
    Break(why);
  else
    broken_ = true;
  const int fd = socket_;
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void ClientSender::Run(const ClientSendingData* message) {
  if (message != nullptr && client != nullptr) client->SendMessage(*message);
}
