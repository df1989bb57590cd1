// The engine's requests to its peer, over libcurl: bounded in time and size,
// never through a proxy, and given up as soon as the engine stops.
#ifndef EXTLIBS_KIVVET_RK_KIVVET_HTTP_H_
#define EXTLIBS_KIVVET_RK_KIVVET_HTTP_H_

#include <atomic>
#include <string>
#include <utility>
#include <vector>

namespace rkkivvet {

struct RkKivvetHttpAnswer {
  // 0 when no answer came (refused, unreachable, timed out, cancelled).
  int status = 0;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string error;

  std::string Header(const std::string& name) const;
};

// Blocking; `cancel` ends a transfer early when it turns true.
RkKivvetHttpAnswer RkKivvetHttpRequest(const std::string& method, const std::string& url,
                                       const std::vector<std::pair<std::string, std::string>>& headers,
                                       const std::string& body, const std::atomic<bool>& cancel);

}  // namespace rkkivvet

#endif  // EXTLIBS_KIVVET_RK_KIVVET_HTTP_H_
