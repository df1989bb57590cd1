// A small blocking HTTP client for the service's outgoing requests
// (notifications, content downloads). Each request runs to its end on the
// calling thread, never on cpprestsdk's thread pool: a listener thread that
// waits for an answer must not need a free pool thread to get it.
#ifndef RKSERVICE_SRC_RK_HTTP_CLIENT_H_
#define RKSERVICE_SRC_RK_HTTP_CLIENT_H_

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace rkservice {

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
  };

  RkHttpClient();
  explicit RkHttpClient(const Options& options);

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

}  // namespace rkservice

#endif  // RKSERVICE_SRC_RK_HTTP_CLIENT_H_
