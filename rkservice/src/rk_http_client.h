// The service's outgoing HTTP requests: RkHttpClient runs one request to its
// end on the calling thread (notifications), RkHttpMultiClient runs many at
// once on the one thread that drives it (a note save's images). Both apply
// one request's rules (headers, redirects, body cap, destination filter) in
// the same per-request code, and neither uses cpprestsdk's thread pool: a
// thread that waits for an answer must not need a free pool thread to get it.
#ifndef RKSERVICE_SRC_RK_HTTP_CLIENT_H_
#define RKSERVICE_SRC_RK_HTTP_CLIENT_H_

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace rkservice {

class RkServiceWork;

using RkHttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct RkHttpRequest {
  std::string method = "GET";
  // Absolute http or https URL, already percent-encoded; sent as it is.
  std::string url;
  // Sent in this order; an empty value is sent as an empty header.
  RkHttpHeaders headers;
  std::string body;
};

struct RkHttpResponse {
  int status = 0;
  // As received, in order.
  RkHttpHeaders headers;
  std::string body;
};

// Why a request got no answer: the transfer library's error number and text.
struct RkHttpError {
  int code = 0;
  std::string message;
};

// Bytes of answer bodies held at once by all the transfers that draw on it,
// whatever thread drives them: the process's bound on what downloads hold
// (RkResourceDownloader::ProcessBodyBudget). A transfer counts its body as it
// arrives and gives the count back when it is over; a transfer whose next
// bytes would pass the capacity fails at once instead.
class RkBodyBudget {
 public:
  explicit RkBodyBudget(size_t capacity) : capacity_(capacity) {}

  RkBodyBudget(const RkBodyBudget&) = delete;
  RkBodyBudget& operator=(const RkBodyBudget&) = delete;

  // False, taking nothing, when bytes more would pass the capacity.
  bool Take(size_t bytes);
  void Give(size_t bytes);

  size_t capacity() const { return capacity_.load(); }
  size_t used() const { return used_.load(); }

#ifdef RKSERVICE_TEST_HOOKS
  void SetCapacityForTesting(size_t capacity) { capacity_.store(capacity); }
#endif

 private:
  // Atomic only for the test hook, which may change it between saves.
  std::atomic<size_t> capacity_;
  std::atomic<size_t> used_{0};
};

class RkHttpClient {
 public:
  struct Options {
    std::chrono::milliseconds connect_timeout{2000};
    // Bounds the whole exchange, connection included.
    std::chrono::milliseconds total_timeout{10000};
    // A longer answer body fails the request.
    size_t max_body_bytes = 64u << 20;
    // Redirects followed per request, to http and https only and never from
    // https to http; 0 hands the redirect answer itself to the caller.
    int max_redirects = 0;
    // Refuses connections to link-local, unspecified, multicast and broadcast
    // addresses, checked on the address each connection (every hop) actually
    // goes to, whatever name led there.
    bool refuse_special_destinations = false;
    // Shared by transfers that may run many at once (downloads), so that
    // together they hold a bounded number of body bytes; null bounds only
    // each body. A body counts until its transfer is over: until Perform
    // returns, or until a multi client's done for it has returned. Must
    // outlive every transfer that uses it.
    RkBodyBudget* body_budget = nullptr;
    // The service whose work the request is: when it stops, the request ends
    // at once, unanswered (within a second; a multi client's Wake ends the
    // wait sooner). Null: only the time-outs end it.
    std::shared_ptr<RkServiceWork> stop_with;
  };

  // The error of a request that a stop of its service ended.
  static constexpr char kStoppedMessage[] = "the service is stopping";
  static RkHttpError StoppedError();

  RkHttpClient();
  explicit RkHttpClient(const Options& options);

  // Sets the transfer library up for the process, once (each client does it
  // on first use too).
  static void InitLibrary();

  // False when no complete answer came back; any status counts as an answer.
  // Follows redirects only as the options allow; never uses a proxy.
  bool Perform(const RkHttpRequest& request, RkHttpResponse* response, RkHttpError* error) const;

  // Link-local, unspecified, multicast and broadcast addresses, IPv4 ones
  // also inside IPv4-mapped and NAT64 IPv6 addresses. Loopback and private
  // ranges are ordinary destinations. Other families count as special.
  static bool IsSpecialDestination(const sockaddr* address);
  // Whether a redirect from one absolute URL to another may be followed.
  static bool MayRedirect(const std::string& from, const std::string& to);

  const Options& options() const { return options_; }

 private:
  Options options_;
};

// Every transfer of one multi client shares its connection pool, so all of
// them share one set of options: a connection opened without the destination
// filter is never handed to a transfer that needs it. Not thread-safe except
// Wake: Start and Step belong to the one thread that drives the transfers.
class RkHttpMultiClient {
 public:
  // Runs on the thread of Step once the request has ended; answered is false
  // when no answer came (the error says why).
  using Done = std::function<void(bool answered, const RkHttpResponse& response, const RkHttpError& error)>;

  // max_connections bounds the sockets its pool holds, in use and idle.
  RkHttpMultiClient(const RkHttpClient::Options& options, size_t max_connections);
  // Transfers still open end here without their done.
  ~RkHttpMultiClient();

  RkHttpMultiClient(const RkHttpMultiClient&) = delete;
  RkHttpMultiClient& operator=(const RkHttpMultiClient&) = delete;

  // False when the transfer library gave no handle: nothing can start.
  bool ok() const;
  // Starts one request, its time-out counted from now. False when it may not
  // go out or could not start (the error says why); done is then dropped.
  bool Start(RkHttpRequest request, Done done, RkHttpError* error);
  // Transfers started whose done has not run yet.
  size_t open() const;
  // Waits until a transfer can move on, Wake is called or max_wait passed
  // (each transfer's own time-out shortens the wait), then moves every
  // transfer on and runs the done of each that ended.
  void Step(std::chrono::milliseconds max_wait);
  // From any thread: the Step waiting now, or else the next one, returns.
  void Wake();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_RK_HTTP_CLIENT_H_
