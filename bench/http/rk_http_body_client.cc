// Sender of one large request body for the loopback body benchmark (run
// through bench/http/bodies.sh):
//   rk_http_body_client --port N --bytes N --chunk N [--path P] [--user NAME] [--timeout S]
// POSTs N bytes to 127.0.0.1:PORT, with "Transfer-Encoding: chunked" in
// chunks of --chunk bytes, or with Content-Length when --chunk is 0, reads the
// reply until it is complete and prints "SECONDS STATUS": the wall-clock time
// from the first byte sent to the last byte of the reply, and the reply's
// status code. Exits with a line on stderr when no whole reply came: 2 when
// the time allowed ran out, 1 otherwise.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

// Framed text is written in pieces about this large, whatever the chunk size,
// so that 1-byte chunks cost the sender big writes and not one call each.
constexpr size_t kBlockBytes = 1 << 20;

int Fail(const std::string& why) {
  std::cerr << "rk_http_body_client: " << why << std::endl;
  return 1;
}

// One piece of the request, sent `repeat` times in a row.
struct Segment {
  std::string bytes;
  uint64_t repeat = 1;
};

std::string ChunkText(size_t size) {
  char head[32];
  std::snprintf(head, sizeof head, "%zx\r\n", size);
  return head + std::string(size, 'x') + "\r\n";
}

std::vector<Segment> BuildRequest(int port, const std::string& path, const std::string& user, uint64_t bytes,
                                  uint64_t chunk) {
  std::string head = "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
  if (!user.empty()) head += "UserName: " + user + "\r\n";
  head += chunk == 0 ? "Content-Length: " + std::to_string(bytes) + "\r\n" : "Transfer-Encoding: chunked\r\n";
  head += "\r\n";
  std::vector<Segment> segments{{head, 1}};

  if (chunk == 0) {
    segments.push_back({std::string(kBlockBytes, 'x'), bytes / kBlockBytes});
    if (bytes % kBlockBytes != 0) segments.push_back({std::string(bytes % kBlockBytes, 'x'), 1});
    return segments;
  }
  // A block of whole chunks, repeated; then the chunks of what is left, the
  // last of them short.
  const uint64_t per_block = chunk >= kBlockBytes ? 1 : kBlockBytes / chunk;
  std::string block;
  const std::string one = ChunkText(static_cast<size_t>(chunk));
  for (uint64_t i = 0; i < per_block; ++i) block += one;
  segments.push_back({block, bytes / (per_block * chunk)});
  uint64_t left = bytes % (per_block * chunk);
  std::string tail;
  for (; left >= chunk; left -= chunk) tail += one;
  if (left != 0) tail += ChunkText(static_cast<size_t>(left));
  tail += "0\r\n\r\n";
  segments.push_back({tail, 1});
  return segments;
}

// The reply read so far; complete once its body, by Content-Length or
// chunked framing, is in.
class ReplyReader {
 public:
  void Add(const char* data, size_t size) { text_.append(data, size); }

  bool Complete(bool peer_closed) {
    const size_t end = text_.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    if (status_ == 0 && !ParseHead(end)) return false;
    const size_t body = end + 4;
    if (chunked_) return ChunkedComplete(body);
    if (has_length_) return text_.size() - body >= length_;
    // Neither: the body lasts until the peer closes.
    return peer_closed;
  }

  int status() const { return status_; }

 private:
  bool ParseHead(size_t end) {
    if (text_.compare(0, 9, "HTTP/1.1 ") != 0 && text_.compare(0, 9, "HTTP/1.0 ") != 0) return false;
    status_ = std::atoi(text_.c_str() + 9);
    size_t line = text_.find("\r\n") + 2;
    while (line < end) {
      const size_t next = text_.find("\r\n", line);
      std::string header = text_.substr(line, next - line);
      for (char& c : header) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (header.rfind("content-length:", 0) == 0) {
        has_length_ = true;
        length_ = std::strtoull(header.c_str() + 15, nullptr, 10);
      } else if (header.rfind("transfer-encoding:", 0) == 0 && header.find("chunked") != std::string::npos) {
        chunked_ = true;
      }
      line = next + 2;
    }
    return status_ != 0;
  }

  bool ChunkedComplete(size_t at) const {
    for (;;) {
      const size_t line_end = text_.find("\r\n", at);
      if (line_end == std::string::npos) return false;
      const uint64_t size = std::strtoull(text_.c_str() + at, nullptr, 16);
      if (size == 0) return text_.find("\r\n\r\n", line_end) != std::string::npos;
      at = line_end + 2 + size + 2;
      if (at > text_.size()) return false;
    }
  }

  std::string text_;
  int status_ = 0;
  bool chunked_ = false;
  bool has_length_ = false;
  uint64_t length_ = 0;
};

// A socket descriptor closed when it goes.
class Socket {
 public:
  Socket() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

bool ConnectLoopback(const Socket& socket, int port, int timeout_ms) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
  if (errno != EINPROGRESS) return false;
  pollfd wait{socket.fd(), POLLOUT, 0};
  if (::poll(&wait, 1, timeout_ms) != 1) return false;
  int error = 0;
  socklen_t size = sizeof error;
  return ::getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string usage =
      "usage: rk_http_body_client --port N --bytes N --chunk N [--path P] [--user NAME] [--timeout S]";
  int port = 0;
  uint64_t bytes = 0;
  uint64_t chunk = 0;
  bool have_bytes = false;
  bool have_chunk = false;
  std::string path = "/";
  std::string user = "bench";
  double timeout_s = 120;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const char* value = argv[i + 1];
    if (option == "--port") {
      port = std::atoi(value);
    } else if (option == "--bytes") {
      bytes = std::strtoull(value, nullptr, 10);
      have_bytes = true;
    } else if (option == "--chunk") {
      chunk = std::strtoull(value, nullptr, 10);
      have_chunk = true;
    } else if (option == "--path") {
      path = value;
    } else if (option == "--user") {
      user = value;
    } else if (option == "--timeout") {
      timeout_s = std::atof(value);
    } else {
      return Fail(usage);
    }
  }
  if (argc % 2 == 0 || port <= 0 || port > 65535 || !have_bytes || !have_chunk || path.empty() || path[0] != '/' ||
      timeout_s <= 0) {
    return Fail(usage);
  }

  const std::vector<Segment> request = BuildRequest(port, path, user, bytes, chunk);
  Socket socket;
  if (socket.fd() < 0) return Fail(std::string("socket: ") + std::strerror(errno));
  if (!ConnectLoopback(socket, port, 5000)) return Fail("cannot connect to 127.0.0.1:" + std::to_string(port));
  const int one = 1;
  ::setsockopt(socket.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(timeout_s));
  // Framed bytes after the head, to tell how far a body that timed out got.
  uint64_t body_framed = 0;
  for (size_t i = 1; i < request.size(); ++i) body_framed += request[i].bytes.size() * request[i].repeat;
  uint64_t body_sent = 0;
  ReplyReader reply;
  size_t segment = 0;
  uint64_t repeat = 0;
  size_t offset = 0;
  bool sending = true;
  bool closed = false;
  std::vector<char> in(64 * 1024);
  // Reads while it writes: a server may answer before the body is all in
  // (413), and then it must not wait on a sender that waits on it.
  for (;;) {
    while (sending && segment < request.size() && repeat >= request[segment].repeat) {
      ++segment;
      repeat = 0;
    }
    if (segment == request.size()) sending = false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      char why[160];
      std::snprintf(why, sizeof why, "no whole reply within %g s; %.1f of %.1f MiB of the body sent", timeout_s,
                    static_cast<double>(bytes) * static_cast<double>(body_sent) / static_cast<double>(std::max<uint64_t>(body_framed, 1)) /
                        (1 << 20),
                    static_cast<double>(bytes) / (1 << 20));
      Fail(why);
      return 2;
    }
    pollfd wait{socket.fd(), static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
    const int ready = ::poll(&wait, 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) return Fail(std::string("poll: ") + std::strerror(errno));
    if (ready <= 0) continue;

    if (wait.revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t got = ::recv(socket.fd(), in.data(), in.size(), 0);
      if (got > 0) {
        reply.Add(in.data(), static_cast<size_t>(got));
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        closed = true;
      }
      if (reply.Complete(closed)) break;
      if (closed) return Fail("the connection closed before a whole reply (status " + std::to_string(reply.status()) + ")");
    }
    if (sending && (wait.revents & POLLOUT)) {
      const std::string& bytes_now = request[segment].bytes;
      const ssize_t sent = ::send(socket.fd(), bytes_now.data() + offset, bytes_now.size() - offset, MSG_NOSIGNAL);
      if (sent > 0) {
        offset += static_cast<size_t>(sent);
        if (segment != 0) body_sent += static_cast<uint64_t>(sent);
        if (offset == bytes_now.size()) {
          offset = 0;
          ++repeat;
        }
      } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
        // The server stopped reading; its reply may still be on the way.
        sending = false;
      }
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%.6f %d\n", seconds, reply.status());
  return 0;
}
