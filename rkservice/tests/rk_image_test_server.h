// An image server of the tests' own on a free loopback port. Each path gets
// its reply: an answer (after an optional delay), a stall that never answers,
// a body that never ends, or an answer held until the test releases it (or
// the client closes the connection), optionally after its head and the first
// bytes of its body. It records every request and how many were in flight at
// most. Each connection is served on a thread of its own and closed after one
// answer.
#ifndef RKSERVICE_TESTS_RK_IMAGE_TEST_SERVER_H_
#define RKSERVICE_TESTS_RK_IMAGE_TEST_SERVER_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "rk_loopback_test_listener.h"

namespace rktest {

struct ImageReply {
  enum class Mode { kAnswer, kStall, kEndless, kHold };
  int status = 200;
  std::string content_type = "image/png";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers = {};
  std::chrono::milliseconds delay{0};
  Mode mode = Mode::kAnswer;
  // kHold: body bytes sent with the head before the hold.
  size_t sent_before_hold = 0;
};

struct ImageRequest {
  std::string method;
  std::string target;  // as received, query included
  std::string path;    // target without its query
  TestHeaders headers;

  std::string Header(const std::string& name) const {
    for (const auto& header : headers) {
      if (strcasecmp(header.first.c_str(), name.c_str()) == 0) return header.second;
    }
    return std::string();
  }
};

class ImageTestServer : private TestServerState {
 public:
  ImageTestServer() = default;

  ~ImageTestServer() { SignalStop(); }

  ImageTestServer(const ImageTestServer&) = delete;
  ImageTestServer& operator=(const ImageTestServer&) = delete;

  int port() const { return listener_.port(); }
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port()) + path; }

  // Paths without a reply of their own answer 404.
  void Set(const std::string& path, ImageReply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_[path] = std::move(reply);
  }

  // Lets held answers (and later ones) go out.
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
  }

  std::vector<ImageRequest> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

  size_t Hits(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count_if(requests_.begin(), requests_.end(),
                                             [&path](const ImageRequest& r) { return r.path == path; }));
  }

  // Requests read and not yet answered: held ones among them.
  int InFlight() {
    std::lock_guard<std::mutex> lock(mutex_);
    return in_flight_;
  }

  int MaxInFlight() {
    std::lock_guard<std::mutex> lock(mutex_);
    return max_in_flight_;
  }

  // Waits (bounded) until at least count requests are in flight at once.
  bool WaitForInFlight(int count, std::chrono::seconds limit = std::chrono::seconds(60)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return in_flight_ >= count; });
  }

 private:
  // Reads the request head; false when the peer went away or the server stops.
  bool ReadRequest(int connection, ImageRequest* request) {
    std::string data;
    while (!Stopping()) {
      const size_t end = data.find("\r\n\r\n");
      if (end != std::string::npos) {
        ParseHead(data.substr(0, end), request);
        return true;
      }
      if (!ReadMore(connection, &data)) return false;
    }
    return false;
  }

  static void ParseHead(const std::string& head, ImageRequest* request) {
    std::string line;
    ParseRequestHead(head, &line, &request->headers);
    const size_t sp1 = line.find(' ');
    const size_t sp2 = line.find(' ', sp1 + 1);
    request->method = line.substr(0, sp1);
    request->target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    request->path = request->target.substr(0, request->target.find('?'));
  }

  static bool PeerClosed(int connection) {
    char byte;
    return recv(connection, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
  }

  // Waits until the peer closes the connection or the server stops.
  void WaitForPeerClose(int connection) {
    std::string ignored;
    while (!Stopping() && ReadMore(connection, &ignored)) ignored.clear();
  }

  static bool SendAll(int connection, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
      const ssize_t n = send(connection, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  void SendEndless(int connection) {
    const std::string chunk(64 * 1024, 'x');
    while (!Stopping()) {
      pollfd p = {connection, POLLOUT, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      if ((p.revents & (POLLERR | POLLHUP)) != 0) return;
      const ssize_t n = send(connection, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (n <= 0) return;
    }
  }

  static std::string HeadOf(const ImageReply& reply) {
    std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " Test\r\n";
    if (!reply.content_type.empty()) head += "Content-Type: " + reply.content_type + "\r\n";
    for (const auto& header : reply.headers) head += header.first + ": " + header.second + "\r\n";
    return head;
  }

  static std::string CompleteHeadOf(const ImageReply& reply) {
    return HeadOf(reply) + "Content-Length: " + std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n";
  }

  void Serve(int connection) {
    ImageRequest request;
    if (ReadRequest(connection, &request)) {
      ImageReply reply;
      size_t sent = 0;  // of the body, before the hold
      {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto found = replies_.find(request.path);
        reply = found != replies_.end() ? found->second : ImageReply{404, "text/plain", "not found"};
        requests_.push_back(request);
        max_in_flight_ = std::max(max_in_flight_, ++in_flight_);
        changed_.notify_all();
        if (reply.mode == ImageReply::Mode::kHold && reply.sent_before_hold > 0) {
          sent = std::min(reply.sent_before_hold, reply.body.size());
          lock.unlock();
          SendAll(connection, CompleteHeadOf(reply) + reply.body.substr(0, sent));
          lock.lock();
        }
        if (reply.mode == ImageReply::Mode::kHold) {
          // A client that gave up is no longer held: the count shows what the
          // client keeps open, not what piled up.
          while (!changed_.wait_for(lock, std::chrono::milliseconds(20), [this] { return released_ || stopping_; })) {
            if (PeerClosed(connection)) {
              reply.mode = ImageReply::Mode::kStall;
              break;
            }
          }
        }
        changed_.wait_for(lock, reply.delay, [this] { return stopping_; });
      }
      switch (reply.mode) {
        case ImageReply::Mode::kStall:
          WaitForPeerClose(connection);
          break;
        case ImageReply::Mode::kEndless:
          if (SendAll(connection, HeadOf(reply) + "Connection: close\r\n\r\n")) SendEndless(connection);
          break;
        default:
          SendAll(connection, (sent > 0 ? std::string() : CompleteHeadOf(reply)) + reply.body.substr(sent));
          break;
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        --in_flight_;
      }
      changed_.notify_all();
    }
    shutdown(connection, SHUT_RDWR);
    close(connection);
  }

  bool released_ = false;
  std::map<std::string, ImageReply> replies_;
  std::vector<ImageRequest> requests_;
  int in_flight_ = 0;
  int max_in_flight_ = 0;
  // Last: it starts serving once everything above is made, and joins its
  // threads before any of it goes.
  LoopbackTestListener listener_{[this](int connection) { Serve(connection); }};
};

}  // namespace rktest

#endif  // RKSERVICE_TESTS_RK_IMAGE_TEST_SERVER_H_
