#include "rk_test_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>

namespace rktest {

namespace {

// The port binds on 127.0.0.1 now. Without `reuse`, also no connection of
// it may linger.
bool CanBind(int port, bool reuse) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  const int on = 1;
  if (reuse) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  ::close(fd);
  return ok;
}

// The lowest port the system hands out on its own, for bind(0) and for
// every outgoing connection.
int LowestEphemeralPort() {
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  int low = 0;
  return range >> low && low > 1024 ? low : 32768;
}

}  // namespace

int FreeLoopbackPort() {
  // Taken below the system's own range: a port the system chose and let go
  // may go straight to a parallel test's outgoing connection before the
  // service binds it. Random, so that parallel tests rarely try the same.
  const int high = LowestEphemeralPort();
  const int low = std::max(1025, high - 16384);
  std::random_device seed;
  std::mt19937 pick(seed());
  std::uniform_int_distribution<int> ports(low, high - 1);
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int port = ports(pick);
    if (CanBind(port, false)) return port;
  }
  return 0;
}

bool LoopbackPortListening(int port) { return !CanBind(port, true); }

SlowClient::SlowClient(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  connected_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
}

SlowClient::~SlowClient() {
  if (fd_ >= 0) ::close(fd_);
}

bool SlowClient::Send(const std::string& bytes) {
  return connected_ && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool SlowClient::Readable() {
  pollfd pfd{fd_, POLLIN, 0};
  return connected_ && ::poll(&pfd, 1, 0) > 0;
}

std::string SlowClient::Receive() {
  std::string data;
  char buffer[4096];
  pollfd pfd{fd_, POLLIN, 0};
  while (connected_ && ::poll(&pfd, 1, 10000) > 0) {
    const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    data.append(buffer, static_cast<size_t>(n));
  }
  return data;
}

void SlowClient::ShutdownSend() {
  if (connected_) ::shutdown(fd_, SHUT_WR);
}

bool SlowClient::ClosedByPeer(int timeout_ms) {
  char buffer[65536];
  pollfd pfd{fd_, POLLIN, 0};
  while (connected_ && ::poll(&pfd, 1, timeout_ms) > 0) {
    const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
    if (n < 0) return false;
  }
  return false;
}

std::string BuildRequest(const std::string& method, const std::string& target, const HeaderList& headers,
                         const std::string& body) {
  std::string raw = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  for (const auto& header : headers) raw += header.first + ": " + header.second + "\r\n";
  if (!body.empty()) raw += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  raw += "\r\n";
  raw += body;
  return raw;
}

namespace {

bool ParseHead(const std::string& data, size_t head_end, HttpReply& reply) {
  const size_t line_end = data.find("\r\n");
  const std::string status_line = data.substr(0, line_end);
  const size_t sp1 = status_line.find(' ');
  if (sp1 == std::string::npos) return false;
  reply.status = std::atoi(status_line.c_str() + sp1 + 1);
  const size_t sp2 = status_line.find(' ', sp1 + 1);
  if (sp2 != std::string::npos) reply.reason = status_line.substr(sp2 + 1);
  size_t pos = line_end + 2;
  while (pos < head_end) {
    const size_t end = data.find("\r\n", pos);
    const std::string line = data.substr(pos, end - pos);
    const size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
      size_t value_start = colon + 1;
      while (value_start < line.size() && line[value_start] == ' ') ++value_start;
      reply.headers[name] = line.substr(value_start);
    }
    pos = end + 2;
  }
  return true;
}

// Reads one reply off fd: until its body is complete, the peer closes, or
// timeout_ms pass without a byte.
HttpReply ReadReply(int fd, int timeout_ms) {
  HttpReply reply;
  std::string data;
  char buffer[65536];
  size_t head_end = std::string::npos;
  size_t want = std::string::npos;
  for (;;) {
    if (head_end != std::string::npos && want != std::string::npos && data.size() >= head_end + 4 + want) break;
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, timeout_ms) <= 0) break;
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    data.append(buffer, static_cast<size_t>(n));
    if (head_end == std::string::npos) {
      head_end = data.find("\r\n\r\n");
      if (head_end != std::string::npos) {
        if (!ParseHead(data, head_end + 2, reply)) break;
        if (reply.Has("content-length")) want = std::strtoull(reply.Header("content-length").c_str(), nullptr, 10);
      }
    }
  }
  if (head_end == std::string::npos) return HttpReply{};
  reply.body = data.substr(head_end + 4);
  if (want != std::string::npos && reply.body.size() > want) reply.body.resize(want);
  return reply;
}

}  // namespace

HttpReply SlowClient::ReceiveReply(int timeout_ms) { return connected_ ? ReadReply(fd_, timeout_ms) : HttpReply{}; }

HttpReply Exchange(int port, const std::string& raw, int timeout_ms) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    ::close(fd);
    return HttpReply{};
  }
  size_t sent = 0;
  while (sent < raw.size()) {
    const ssize_t n = ::send(fd, raw.data() + sent, raw.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  const HttpReply reply = ReadReply(fd, timeout_ms);
  ::close(fd);
  return reply;
}

}  // namespace rktest
