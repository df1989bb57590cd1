#include "rk_kivvet_http.h"

#include <curl/curl.h>
#include <strings.h>

#include <memory>
#include <mutex>

#include "rk_kivvet_protocol.h"

namespace rkkivvet {
namespace {

constexpr long kConnectTimeoutMs = 5000;
constexpr long kTotalTimeoutMs = 30000;

struct Transfer {
  RkKivvetHttpAnswer* answer;
  const std::atomic<bool>* cancel;
  bool too_long = false;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  if (transfer->answer->body.size() + bytes > protocol::kMaxBodyBytes) {
    transfer->too_long = true;
    return 0;
  }
  transfer->answer->body.append(data, bytes);
  return bytes;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  std::string line(data, bytes);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  const size_t colon = line.find(':');
  if (colon != std::string::npos) {
    size_t value = colon + 1;
    while (value < line.size() && line[value] == ' ') ++value;
    transfer->answer->headers.emplace_back(line.substr(0, colon), line.substr(value));
  }
  return bytes;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<Transfer*>(user)->cancel->load() ? 1 : 0;
}

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

}  // namespace

std::string RkKivvetHttpAnswer::Header(const std::string& name) const {
  for (const auto& header : headers) {
    if (strcasecmp(header.first.c_str(), name.c_str()) == 0) return header.second;
  }
  return {};
}

RkKivvetHttpAnswer RkKivvetHttpRequest(const std::string& method, const std::string& url,
                                       const std::vector<std::pair<std::string, std::string>>& headers,
                                       const std::string& body, const std::atomic<bool>& cancel) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  RkKivvetHttpAnswer answer;
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) {
    answer.error = "can not start a transfer";
    return answer;
  }
  std::unique_ptr<curl_slist, ListDeleter> list;
  for (const auto& header : headers) {
    // Values are ours (ids, keys); a line break would start a header of its own.
    if (header.second.find_first_of("\r\n") != std::string::npos) continue;
    curl_slist* grown = curl_slist_append(list.get(), (header.first + ": " + header.second).c_str());
    if (grown == nullptr) continue;
    list.release();
    list.reset(grown);
  }
  CURL* handle = curl.get();
  Transfer transfer{&answer, &cancel};
  char details[CURL_ERROR_SIZE] = {0};
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(handle, CURLOPT_PROXY, "");
  curl_easy_setopt(handle, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, kTotalTimeoutMs);
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, details);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &OnProgress);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, list.get());
  if (method == "POST") {
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data());
  } else {
    curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
  }
  const CURLcode rc = curl_easy_perform(handle);
  if (rc != CURLE_OK || transfer.too_long) {
    answer.status = 0;
    answer.body.clear();
    answer.error = transfer.too_long ? "answer too long" : (details[0] != '\0' ? details : curl_easy_strerror(rc));
    return answer;
  }
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  answer.status = static_cast<int>(status);
  return answer;
}

}  // namespace rkkivvet
