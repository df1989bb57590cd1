#include "rk_http_client.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

namespace rkservice {
namespace {

void InitTransferLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

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

struct Transfer {
  RkHttpResponse* response;
  size_t max_body_bytes;
  bool body_too_long = false;
  std::string refused_address;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  if (transfer->response->body.size() + bytes > transfer->max_body_bytes) {
    transfer->body_too_long = true;
    return 0;
  }
  transfer->response->body.append(data, bytes);
  return bytes;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  const std::string_view line = Trim(std::string_view(data, bytes));
  if (line.rfind("HTTP/", 0) == 0) {
    // A new status line: interim (1xx) answers leave no headers behind.
    transfer->response->headers.clear();
  } else if (!line.empty()) {
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
      transfer->response->headers.emplace_back(std::string(Trim(line.substr(0, colon))),
                                               std::string(Trim(line.substr(colon + 1))));
    }
  }
  return bytes;
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

// Called for every connection the transfer library opens, so the check sees
// the address that name resolution (and each redirect) really produced.
curl_socket_t OnOpenSocket(void* user, curlsocktype purpose, curl_sockaddr* address) {
  auto* transfer = static_cast<Transfer*>(user);
  if (purpose != CURLSOCKTYPE_IPCXN || RkHttpClient::IsSpecialDestination(&address->addr)) {
    transfer->refused_address = AddressText(&address->addr);
    return CURL_SOCKET_BAD;
  }
  return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
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

bool Fail(RkHttpError* error, int code, std::string message) {
  if (error != nullptr) {
    error->code = code;
    error->message = std::move(message);
  }
  return false;
}

}  // namespace

RkHttpClient::RkHttpClient() : RkHttpClient(Options()) {}

RkHttpClient::RkHttpClient(const Options& options) : options_(options) {}

bool RkHttpClient::Perform(const RkHttpRequest& request, RkHttpResponse* response, RkHttpError* error) const {
  RkHttpResponse answer;
  if (!IsToken(request.method)) return Fail(error, CURLE_BAD_FUNCTION_ARGUMENT, "invalid method");
  if (!IsSafeValue(request.url)) return Fail(error, CURLE_URL_MALFORMAT, "invalid URL");

  std::unique_ptr<curl_slist, ListDeleter> list;
  auto add_line = [&list](const std::string& line) {
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (grown == nullptr) return false;
    list.release();
    list.reset(grown);
    return true;
  };
  for (const auto& header : request.headers) {
    if (!IsToken(header.first) || !IsSafeValue(header.second)) {
      return Fail(error, CURLE_BAD_FUNCTION_ARGUMENT, "invalid header " + header.first);
    }
    // The transfer library counts the body itself.
    if (EqualsIgnoreCase(header.first, "Content-Length")) continue;
    // "Name:" alone would remove the header; "Name;" sends it empty.
    const std::string line = header.second.empty() ? header.first + ";" : header.first + ": " + header.second;
    if (!add_line(line)) return Fail(error, CURLE_OUT_OF_MEMORY, "out of memory");
  }
  // Nothing beyond what the caller asked for.
  for (const char* name : {"Accept", "Content-Type", "Expect"}) {
    if (!HasHeader(request.headers, name) && !add_line(std::string(name) + ":")) {
      return Fail(error, CURLE_OUT_OF_MEMORY, "out of memory");
    }
  }

  InitTransferLibrary();
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) return Fail(error, CURLE_FAILED_INIT, "can not start a transfer");
  CURL* handle = curl.get();
  char details[CURL_ERROR_SIZE] = {0};
  Transfer transfer{&answer, options_.max_body_bytes, false, {}};

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
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, details);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, list.get());
  if (options_.refuse_special_destinations) {
    curl_easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, &OnOpenSocket);
    curl_easy_setopt(handle, CURLOPT_OPENSOCKETDATA, &transfer);
  }

  // Redirects are followed here rather than by the transfer library, which
  // cannot refuse a step down from https to http.
  const auto deadline = std::chrono::steady_clock::now() + options_.total_timeout;
  std::string url = request.url;
  std::string method = request.method;
  // A redirect that turns the request into a GET drops the body.
  static const std::string kNoBody;
  const std::string* body = &request.body;
  for (int hop = 0;; ++hop) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Fail(error, CURLE_OPERATION_TIMEDOUT, "timed out");
    answer = RkHttpResponse();
    transfer.refused_address.clear();
    details[0] = '\0';
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(left.count()));
    ApplyMethod(handle, method, *body);

    const CURLcode rc = curl_easy_perform(handle);
    if (transfer.body_too_long) {
      return Fail(error, CURLE_WRITE_ERROR,
                  "answer body over " + std::to_string(options_.max_body_bytes) + " bytes");
    }
    if (rc != CURLE_OK && !transfer.refused_address.empty()) {
      return Fail(error, rc, "destination refused: " + transfer.refused_address);
    }
    if (rc != CURLE_OK) return Fail(error, rc, details[0] != '\0' ? details : curl_easy_strerror(rc));
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    answer.status = static_cast<int>(status);

    char* location = nullptr;
    if (options_.max_redirects > 0 && IsRedirect(status) &&
        curl_easy_getinfo(handle, CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location != nullptr) {
      if (hop >= options_.max_redirects) {
        return Fail(error, CURLE_TOO_MANY_REDIRECTS,
                    "more than " + std::to_string(options_.max_redirects) + " redirects");
      }
      std::string next = location;
      if (!IsSafeValue(next) || !MayRedirect(url, next)) {
        return Fail(error, CURLE_UNSUPPORTED_PROTOCOL, "redirect refused: " + next);
      }
      if ((status == 303 && method != "HEAD") || ((status == 301 || status == 302) && method == "POST")) {
        method = "GET";
        body = &kNoBody;
      }
      url = std::move(next);
      continue;
    }
    break;
  }
  if (response != nullptr) *response = std::move(answer);
  return true;
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
