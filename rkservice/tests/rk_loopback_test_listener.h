// What the tests' own HTTP servers share: a listener on a free loopback port
// that serves each connection on a thread of its own, and the parsing of a
// request head.
#ifndef RKSERVICE_TESTS_RK_LOOPBACK_TEST_LISTENER_H_
#define RKSERVICE_TESTS_RK_LOOPBACK_TEST_LISTENER_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace rktest {

using TestHeaders = std::vector<std::pair<std::string, std::string>>;

class LoopbackTestListener {
 public:
  // serve(connection) owns the connection and closes it; it must return once
  // the server that owns this listener is stopping.
  explicit LoopbackTestListener(std::function<void(int)> serve) : serve_(std::move(serve)) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener_, 128) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      std::abort();
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }

  // Joins every connection's thread: the owner has told them to stop first.
  ~LoopbackTestListener() {
    stopping_ = true;
    acceptor_.join();
    for (std::thread& connection : connections_) connection.join();
    close(listener_);
  }

  LoopbackTestListener(const LoopbackTestListener&) = delete;
  LoopbackTestListener& operator=(const LoopbackTestListener&) = delete;

  int port() const { return port_; }

 private:
  void AcceptLoop() {
    while (!stopping_) {
      pollfd p = {listener_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;
      connections_.emplace_back([this, connection] { serve_(connection); });
    }
  }

  std::function<void(int)> serve_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::vector<std::thread> connections_;  // touched by the acceptor only
};

// The lock and stop flag of a test server. Its destructor must call
// SignalStop before its listener (its last member) joins the threads that
// wait here.
class TestServerState {
 protected:
  void SignalStop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
  }
  bool Stopping() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
  }

  std::mutex mutex_;
  std::condition_variable changed_;  // notified on every change the waits watch
  bool stopping_ = false;
};

// Waits a moment for bytes and appends what came; false once the peer has
// closed the connection.
inline bool ReadMore(int connection, std::string* data) {
  pollfd p = {connection, POLLIN, 0};
  if (poll(&p, 1, 20) <= 0) return true;
  char buffer[4096];
  const ssize_t n = read(connection, buffer, sizeof(buffer));
  if (n <= 0) return false;
  data->append(buffer, static_cast<size_t>(n));
  return true;
}

// Splits a request head (without its blank line) into the first line and the
// headers, values without their leading blanks.
inline void ParseRequestHead(const std::string& head, std::string* first_line, TestHeaders* headers) {
  size_t start = 0;
  for (bool first = true; start <= head.size(); first = false) {
    size_t end = head.find("\r\n", start);
    if (end == std::string::npos) end = head.size();
    const std::string line = head.substr(start, end - start);
    start = end + 2;
    if (first) {
      *first_line = line;
      continue;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    size_t value = colon + 1;
    while (value < line.size() && line[value] == ' ') ++value;
    headers->emplace_back(line.substr(0, colon), line.substr(value));
  }
}

}  // namespace rktest

#endif  // RKSERVICE_TESTS_RK_LOOPBACK_TEST_LISTENER_H_
