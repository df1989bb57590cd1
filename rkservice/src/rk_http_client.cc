#include "rk_http_client.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>

#include "rk_service_work.h"

namespace rkservice {
namespace {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// RFC 9110 token characters: header names and methods.
bool IsToken(std::string_view text) {
  if (text.empty()) return false;
  for (unsigned char c : text) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                    std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
    if (!ok) return false;
  }
  return true;
}

// A line break in a value would start a header (or a request) of its own.
bool IsSafeValue(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

std::string AddressText(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = {0};
  if (address->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof(text));
  } else if (address->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof(text));
  } else {
    return "address family " + std::to_string(address->sa_family);
  }
  return text;
}

bool IsSpecialIpv4(uint32_t host_order) {
  const uint32_t first = host_order >> 24;
  return first == 0 ||                             // unspecified, "this network"
         (host_order >> 16) == ((169u << 8) | 254u) ||  // link-local
         (first & 0xF0u) == 224u ||                // multicast
         host_order == 0xFFFFFFFFu;                // limited broadcast
}

std::string LowerScheme(const std::string& url) {
  std::string scheme;
  CURLU* parsed = curl_url();
  if (parsed == nullptr) return scheme;
  char* part = nullptr;
  if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_SCHEME, &part, 0) == CURLUE_OK) {
    scheme = part;
    curl_free(part);
  }
  curl_url_cleanup(parsed);
  for (char& c : scheme) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return scheme;
}

bool IsRedirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

void ApplyMethod(CURL* handle, const std::string& method, const std::string& body) {
  curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, nullptr);
  curl_easy_setopt(handle, CURLOPT_NOBODY, 0L);
  curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
  const bool has_body = !body.empty() || method == "POST" || method == "PUT";
  if (method == "HEAD") {
    curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
  } else if (method == "GET" && !has_body) {
    return;
  } else {
    if (has_body) {
      curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
      curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data());
    }
    if (method != "POST") curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, method.c_str());
  }
}

bool HasHeader(const RkHttpHeaders& headers, std::string_view name) {
  for (const auto& header : headers) {
    if (EqualsIgnoreCase(header.first, name)) return true;
  }
  return false;
}

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// One request through its redirects on one easy handle: whoever runs the
// hops (curl_easy_perform, or a multi handle) calls Begin once and Finish
// after every hop. Redirects are followed here rather than by the transfer
// library, which cannot refuse a step down from https to http. The callbacks
// hold this object's address: it never moves.
class Transfer {
 public:
  // Both must outlive the transfer.
  Transfer(const RkHttpClient::Options& options, const RkHttpRequest& request)
      : options_(options), request_(request), url_(request.url), method_(request.method), body_(&request.body) {}

  ~Transfer() { ReleaseBody(); }

  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // True when the first hop is ready to run on handle(); false when the
  // request may not go out or no handle could be had (error() says why).
  bool Begin() {
    if (Stopped()) return Fail(CURLE_ABORTED_BY_CALLBACK, RkHttpClient::kStoppedMessage);
    if (!IsToken(request_.method)) return Fail(CURLE_BAD_FUNCTION_ARGUMENT, "invalid method");
    if (!IsSafeValue(request_.url)) return Fail(CURLE_URL_MALFORMAT, "invalid URL");
    for (const auto& header : request_.headers) {
      if (!IsToken(header.first) || !IsSafeValue(header.second)) {
        return Fail(CURLE_BAD_FUNCTION_ARGUMENT, "invalid header " + header.first);
      }
      // The transfer library counts the body itself.
      if (EqualsIgnoreCase(header.first, "Content-Length")) continue;
      // "Name:" alone would remove the header; "Name;" sends it empty.
      const std::string line = header.second.empty() ? header.first + ";" : header.first + ": " + header.second;
      if (!AddLine(line)) return Fail(CURLE_OUT_OF_MEMORY, "out of memory");
    }
    // Nothing beyond what the caller asked for.
    for (const char* name : {"Accept", "Content-Type", "Expect"}) {
      if (!HasHeader(request_.headers, name) && !AddLine(std::string(name) + ":")) {
        return Fail(CURLE_OUT_OF_MEMORY, "out of memory");
      }
    }

    RkHttpClient::InitLibrary();
    curl_.reset(curl_easy_init());
    if (!curl_) return Fail(CURLE_FAILED_INIT, "can not start a transfer");
    CURL* handle = curl_.get();
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    // No proxy, not even one named by the environment.
    curl_easy_setopt(handle, CURLOPT_PROXY, "");
    curl_easy_setopt(handle, CURLOPT_NOPROXY, "*");
    // Signals belong to the host process; time-outs work without them.
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options_.connect_timeout.count()));
    curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    // The path goes out as the caller encoded it.
    curl_easy_setopt(handle, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, details_);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers_.get());
    if (options_.stop_with) {
      curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &Transfer::OnProgress);
      curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this);
      curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    }
    if (options_.refuse_special_destinations) {
      curl_easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, &Transfer::OnOpenSocket);
      curl_easy_setopt(handle, CURLOPT_OPENSOCKETDATA, this);
    }
    deadline_ = std::chrono::steady_clock::now() + options_.total_timeout;
    return ReadyHop();
  }

  CURL* handle() const { return curl_.get(); }

  // After a hop ended with rc: true when a redirect is to be followed and the
  // handle is ready for the next hop; false when the transfer is over.
  bool Finish(CURLcode rc) {
    if (body_too_long_) {
      return Fail(CURLE_WRITE_ERROR, "answer body over " + std::to_string(options_.max_body_bytes) + " bytes");
    }
    if (over_budget_) {
      return Fail(CURLE_WRITE_ERROR, "download bodies over " + std::to_string(options_.body_budget->capacity()) +
                                         " bytes in flight in the process");
    }
    if (rc != CURLE_OK && Stopped()) return Fail(rc, RkHttpClient::kStoppedMessage);
    if (rc != CURLE_OK && !refused_address_.empty()) return Fail(rc, "destination refused: " + refused_address_);
    if (rc != CURLE_OK) return Fail(rc, details_[0] != '\0' ? details_ : curl_easy_strerror(rc));
    long status = 0;
    curl_easy_getinfo(curl_.get(), CURLINFO_RESPONSE_CODE, &status);
    response_.status = static_cast<int>(status);

    char* location = nullptr;
    if (options_.max_redirects > 0 && IsRedirect(status) &&
        curl_easy_getinfo(curl_.get(), CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location != nullptr) {
      if (hop_ >= options_.max_redirects) {
        return Fail(CURLE_TOO_MANY_REDIRECTS, "more than " + std::to_string(options_.max_redirects) + " redirects");
      }
      std::string next = location;
      if (!IsSafeValue(next) || !RkHttpClient::MayRedirect(url_, next)) {
        return Fail(CURLE_UNSUPPORTED_PROTOCOL, "redirect refused: " + next);
      }
      // A redirect that turns the request into a GET drops the body.
      if ((status == 303 && method_ != "HEAD") || ((status == 301 || status == 302) && method_ == "POST")) {
        method_ = "GET";
        body_ = &kNoBody;
      }
      url_ = std::move(next);
      ++hop_;
      return ReadyHop();
    }
    answered_ = true;
    return false;
  }

  // Ends the transfer unanswered.
  bool Fail(int code, std::string message) {
    error_.code = code;
    error_.message = std::move(message);
    return false;
  }

  bool answered() const { return answered_; }
  RkHttpResponse& response() { return response_; }
  const RkHttpError& error() const { return error_; }

 private:
  bool AddLine(const std::string& line) {
    curl_slist* grown = curl_slist_append(headers_.get(), line.c_str());
    if (grown == nullptr) return false;
    headers_.release();
    headers_.reset(grown);
    return true;
  }

  bool ReadyHop() {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Fail(CURLE_OPERATION_TIMEDOUT, "timed out");
    // A redirect's own body is dropped here, and so is its count.
    ReleaseBody();
    response_ = RkHttpResponse();
    refused_address_.clear();
    details_[0] = '\0';
    curl_easy_setopt(curl_.get(), CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl_.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(left.count()));
    ApplyMethod(curl_.get(), method_, *body_);
    return true;
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    if (transfer->response_.body.size() + bytes > transfer->options_.max_body_bytes) {
      transfer->body_too_long_ = true;
      return 0;
    }
    RkBodyBudget* budget = transfer->options_.body_budget;
    if (budget != nullptr) {
      if (!budget->Take(bytes)) {
        // Nothing of a failed body is needed: its bytes go back at once.
        transfer->over_budget_ = true;
        transfer->ReleaseBody();
        return 0;
      }
      transfer->budget_taken_ += bytes;
    }
    transfer->response_.body.append(data, bytes);
    return bytes;
  }

  bool Stopped() const { return options_.stop_with && options_.stop_with->stopping(); }

  // Called by the transfer library at least once a second while it waits.
  static int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transfer*>(user)->Stopped() ? 1 : 0;
  }

  // Frees the body held so far and gives its count back to the budget.
  void ReleaseBody() {
    std::string().swap(response_.body);
    if (budget_taken_ > 0) options_.body_budget->Give(budget_taken_);
    budget_taken_ = 0;
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    const std::string_view line = Trim(std::string_view(data, bytes));
    if (line.rfind("HTTP/", 0) == 0) {
      // A new status line: interim (1xx) answers leave no headers behind.
      transfer->response_.headers.clear();
    } else if (!line.empty()) {
      const size_t colon = line.find(':');
      if (colon != std::string_view::npos) {
        transfer->response_.headers.emplace_back(std::string(Trim(line.substr(0, colon))),
                                                 std::string(Trim(line.substr(colon + 1))));
      }
    }
    return bytes;
  }

  // Called for every connection the transfer library opens, so the check sees
  // the address that name resolution (and each redirect) really produced.
  static curl_socket_t OnOpenSocket(void* user, curlsocktype purpose, curl_sockaddr* address) {
    auto* transfer = static_cast<Transfer*>(user);
    if (purpose != CURLSOCKTYPE_IPCXN || RkHttpClient::IsSpecialDestination(&address->addr)) {
      transfer->refused_address_ = AddressText(&address->addr);
      return CURL_SOCKET_BAD;
    }
    return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  }

  static inline const std::string kNoBody;

  const RkHttpClient::Options& options_;
  const RkHttpRequest& request_;
  std::unique_ptr<curl_slist, ListDeleter> headers_;
  // After headers_: the handle points at the list until it goes.
  std::unique_ptr<CURL, CurlDeleter> curl_;
  char details_[CURL_ERROR_SIZE] = {0};
  std::chrono::steady_clock::time_point deadline_;
  std::string url_;
  std::string method_;
  const std::string* body_;
  int hop_ = 0;
  bool body_too_long_ = false;
  bool over_budget_ = false;
  // What the body holds of options_.body_budget.
  size_t budget_taken_ = 0;
  std::string refused_address_;
  RkHttpResponse response_;
  bool answered_ = false;
  RkHttpError error_;
};

}  // namespace

bool RkBodyBudget::Take(size_t bytes) {
  const size_t capacity = capacity_.load();
  size_t used = used_.load();
  do {
    if (bytes > capacity || used > capacity - bytes) return false;
  } while (!used_.compare_exchange_weak(used, used + bytes));
  return true;
}

void RkBodyBudget::Give(size_t bytes) { used_.fetch_sub(bytes); }

RkHttpError RkHttpClient::StoppedError() { return RkHttpError{CURLE_ABORTED_BY_CALLBACK, kStoppedMessage}; }

void RkHttpClient::InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

RkHttpClient::RkHttpClient() : RkHttpClient(Options()) {}

RkHttpClient::RkHttpClient(const Options& options) : options_(options) {}

bool RkHttpClient::Perform(const RkHttpRequest& request, RkHttpResponse* response, RkHttpError* error) const {
  Transfer transfer(options_, request);
  for (bool hop = transfer.Begin(); hop;) hop = transfer.Finish(curl_easy_perform(transfer.handle()));
  if (!transfer.answered()) {
    if (error != nullptr) *error = transfer.error();
    return false;
  }
  if (response != nullptr) *response = std::move(transfer.response());
  return true;
}

// One started request: the transfer reads the request in place.
struct RkHttpMultiClient::Impl {
  struct Open {
    Open(const RkHttpClient::Options& options, RkHttpRequest taken, Done when_done)
        : request(std::move(taken)), done(std::move(when_done)), transfer(options, request) {}
    RkHttpRequest request;
    Done done;
    Transfer transfer;
  };

  explicit Impl(const RkHttpClient::Options& given) : options(given) {}

  const RkHttpClient::Options options;
  CURLM* multi = nullptr;
  std::map<CURL*, std::unique_ptr<Open>> open;
};

RkHttpMultiClient::RkHttpMultiClient(const RkHttpClient::Options& options, size_t max_connections)
    : impl_(std::make_unique<Impl>(options)) {
  RkHttpClient::InitLibrary();
  impl_->multi = curl_multi_init();
  if (impl_->multi != nullptr && max_connections > 0) {
    curl_multi_setopt(impl_->multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, static_cast<long>(max_connections));
  }
}

RkHttpMultiClient::~RkHttpMultiClient() {
  for (auto& entry : impl_->open) curl_multi_remove_handle(impl_->multi, entry.first);
  // The easy handles go before the multi handle whose pool they used.
  impl_->open.clear();
  if (impl_->multi != nullptr) curl_multi_cleanup(impl_->multi);
}

bool RkHttpMultiClient::ok() const { return impl_->multi != nullptr; }

size_t RkHttpMultiClient::open() const { return impl_->open.size(); }

bool RkHttpMultiClient::Start(RkHttpRequest request, Done done, RkHttpError* error) {
  auto started = std::make_unique<Impl::Open>(impl_->options, std::move(request), std::move(done));
  Transfer& transfer = started->transfer;
  bool ok = transfer.Begin();
  if (ok && (impl_->multi == nullptr || curl_multi_add_handle(impl_->multi, transfer.handle()) != CURLM_OK)) {
    ok = transfer.Fail(CURLE_FAILED_INIT, "can not start a transfer");
  }
  if (!ok) {
    if (error != nullptr) *error = transfer.error();
    return false;
  }
  CURL* handle = transfer.handle();
  impl_->open.emplace(handle, std::move(started));
  return true;
}

void RkHttpMultiClient::Step(std::chrono::milliseconds max_wait) {
  CURLM* multi = impl_->multi;
  if (multi == nullptr) return;
  const long wait = std::max<long>(0, static_cast<long>(std::min<std::chrono::milliseconds::rep>(
                                          max_wait.count(), std::numeric_limits<int>::max())));
  curl_multi_poll(multi, nullptr, 0, static_cast<int>(wait), nullptr);
  int running = 0;
  curl_multi_perform(multi, &running);
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    // The message goes with the handle's removal.
    CURL* handle = message->easy_handle;
    const CURLcode rc = message->data.result;
    curl_multi_remove_handle(multi, handle);
    const auto found = impl_->open.find(handle);
    if (found == impl_->open.end()) continue;
    Transfer& transfer = found->second->transfer;
    if (transfer.Finish(rc)) {
      if (curl_multi_add_handle(multi, handle) == CURLM_OK) continue;
      transfer.Fail(CURLE_FAILED_INIT, "can not start a transfer");
    }
    // Out of the table before done runs: done may start more.
    const std::unique_ptr<Impl::Open> ended = std::move(found->second);
    impl_->open.erase(found);
    ended->done(ended->transfer.answered(), ended->transfer.response(), ended->transfer.error());
  }
}

void RkHttpMultiClient::Wake() {
  if (impl_->multi != nullptr) curl_multi_wakeup(impl_->multi);
}

bool RkHttpClient::IsSpecialDestination(const sockaddr* address) {
  if (address->sa_family == AF_INET) {
    return IsSpecialIpv4(ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr));
  }
  if (address->sa_family != AF_INET6) return true;
  const uint8_t* bytes = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr.s6_addr;
  static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  static const uint8_t kNat64[12] = {0, 0x64, 0xFF, 0x9B, 0, 0, 0, 0, 0, 0, 0, 0};
  if (std::memcmp(bytes, kMapped, 12) == 0 || std::memcmp(bytes, kNat64, 12) == 0) {
    const uint32_t embedded = (static_cast<uint32_t>(bytes[12]) << 24) | (static_cast<uint32_t>(bytes[13]) << 16) |
                              (static_cast<uint32_t>(bytes[14]) << 8) | bytes[15];
    return IsSpecialIpv4(embedded);
  }
  static const uint8_t kUnspecified[16] = {0};
  return std::memcmp(bytes, kUnspecified, 16) == 0 ||     // ::
         bytes[0] == 0xFF ||                              // multicast
         (bytes[0] == 0xFE && (bytes[1] & 0xC0) == 0x80);  // link-local fe80::/10
}

bool RkHttpClient::MayRedirect(const std::string& from, const std::string& to) {
  const std::string target = LowerScheme(to);
  if (target != "http" && target != "https") return false;
  return !(target == "http" && LowerScheme(from) == "https");
}

}  // namespace rkservice
