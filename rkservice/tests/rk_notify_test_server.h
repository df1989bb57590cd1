// A notification endpoint of the tests' own on a free loopback port: it
// records each request (request line, headers, body, as received) and
// answers with the reply it is given, after a delay, or not at all. Every
// connection is served on a thread of its own, so requests that overlap are
// seen overlapping.
#ifndef RKSERVICE_TESTS_RK_NOTIFY_TEST_SERVER_H_
#define RKSERVICE_TESTS_RK_NOTIFY_TEST_SERVER_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "rk_loopback_test_listener.h"

namespace rktest {

struct NotifyReply {
  int status = 200;
  std::string content_type = "text/plain; charset=utf-8";  // empty: no header
  std::string body = "ok";
  std::chrono::milliseconds delay{0};
  bool silent = false;  // read the request, never answer
  std::vector<std::pair<std::string, std::string>> headers = {};  // further answer headers
  bool held = false;  // read the request, answer once the test releases it
  std::string held_user = {};  // with held: only the requests of this UserName are held
};

struct NotifyRequest {
  std::string request_line;  // "GET /?a=b HTTP/1.1"
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::chrono::steady_clock::time_point received;
  std::chrono::steady_clock::time_point answered;

  bool Has(const std::string& name) const { return Find(name) != nullptr; }
  std::string Header(const std::string& name) const {
    const std::string* value = Find(name);
    return value != nullptr ? *value : std::string();
  }
  const std::string* Find(const std::string& name) const {
    for (const auto& header : headers) {
      if (strcasecmp(header.first.c_str(), name.c_str()) == 0) return &header.second;
    }
    return nullptr;
  }
};

class NotifyTestServer : private TestServerState {
 public:
  using Clock = std::chrono::steady_clock;
  using Reply = NotifyReply;
  using Request = NotifyRequest;

  explicit NotifyTestServer(Reply reply = Reply()) : reply_(std::move(reply)) {}

  ~NotifyTestServer() { SignalStop(); }

  NotifyTestServer(const NotifyTestServer&) = delete;
  NotifyTestServer& operator=(const NotifyTestServer&) = delete;

  int port() const { return listener_.port(); }
  std::string host() const { return "http://127.0.0.1:" + std::to_string(port()); }

  void SetReply(Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    reply_ = std::move(reply);
  }

  std::vector<Request> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

  // Requests read and held, not answered yet.
  size_t Held() {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_;
  }
  // Held requests are answered, and later ones are no longer held.
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
  }

  // A port with nothing listening on it: connections are refused.
  static int RefusingPort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
    close(s);
    return ntohs(address.sin_port);
  }

 private:
  // Reads one request; false when the peer went away or the server stops.
  bool ReadRequest(int connection, Request* request) {
    std::string data;
    size_t header_end = std::string::npos;
    size_t body_size = 0;
    while (!Stopping()) {
      if (header_end != std::string::npos && data.size() >= header_end + 4 + body_size) break;
      if (!ReadMore(connection, &data)) return false;
      if (header_end == std::string::npos && (header_end = data.find("\r\n\r\n")) != std::string::npos) {
        ParseHead(data.substr(0, header_end), request);
        const std::string length = request->Header("Content-Length");
        body_size = length.empty() ? 0 : std::stoul(length);
      }
    }
    if (header_end == std::string::npos) return false;
    request->body = data.substr(header_end + 4, body_size);
    request->received = Clock::now();
    return true;
  }

  static void ParseHead(const std::string& head, Request* request) {
    ParseRequestHead(head, &request->request_line, &request->headers);
  }

  void Serve(int connection) {
    Request request;
    if (ReadRequest(connection, &request)) {
      std::unique_lock<std::mutex> lock(mutex_);
      const Reply reply = reply_;
      requests_.push_back(request);
      const size_t index = requests_.size() - 1;
      bool stopped = changed_.wait_for(lock, reply.delay, [this] { return stopping_; });
      if (reply.silent) {
        changed_.wait(lock, [this] { return stopping_; });
        stopped = true;
      }
      const bool hold = reply.held && (reply.held_user.empty() || request.Header("UserName") == reply.held_user);
      if (hold && !stopped) {
        ++held_;
        changed_.wait(lock, [this] { return stopping_ || released_; });
        --held_;
        stopped = stopping_;
      }
      if (!stopped) {
        // Stamped before the answer leaves: a client that has the answer
        // sees the stamp.
        requests_[index].answered = Clock::now();
        lock.unlock();
        std::string answer = "HTTP/1.1 " + std::to_string(reply.status) + " Test\r\n";
        if (!reply.content_type.empty()) answer += "Content-Type: " + reply.content_type + "\r\n";
        for (const auto& header : reply.headers) answer += header.first + ": " + header.second + "\r\n";
        answer += "Content-Length: " + std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n";
        answer += reply.body;
        (void)!write(connection, answer.data(), answer.size());
      }
    }
    shutdown(connection, SHUT_RDWR);
    close(connection);
  }

  Reply reply_;
  std::vector<Request> requests_;
  size_t held_ = 0;
  bool released_ = false;
  // Last: it starts serving once everything above is made, and joins its
  // threads before any of it goes.
  LoopbackTestListener listener_{[this](int connection) { Serve(connection); }};
};

}  // namespace rktest

#endif  // RKSERVICE_TESTS_RK_NOTIFY_TEST_SERVER_H_
