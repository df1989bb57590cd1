#include "rk_notify_endpoint.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <utility>
#include <vector>

namespace rkhost {
namespace {

constexpr size_t kMaxHead = 64 << 10;
constexpr size_t kMaxBody = 16 << 20;
constexpr size_t kMaxPrintedBody = 1024;
// One connection at a time: a client that stalls holds the endpoint this long.
constexpr int kIoTimeoutSeconds = 2;

struct Request {
  std::string method;
  std::string target;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // Header names match without regard to case.
  const std::string* Header(const char* name) const {
    for (const auto& header : headers) {
      if (strcasecmp(header.first.c_str(), name) == 0) return &header.second;
    }
    return nullptr;
  }
};

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string PercentDecode(const std::string& text) {
  std::string decoded;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
      decoded += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

// The query pairs of a target, decoded for reading: "action=notify caller=kivvet ...".
std::string DecodedQuery(const std::string& target) {
  const size_t question = target.find('?');
  if (question == std::string::npos) return {};
  std::string shown;
  std::istringstream pairs(target.substr(question + 1));
  std::string pair;
  while (std::getline(pairs, pair, '&')) {
    if (pair.empty()) continue;
    if (!shown.empty()) shown += ' ';
    shown += PercentDecode(pair);
  }
  return shown;
}

bool SendAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

void Reply(int fd, const std::string& status, const std::string& body) {
  SendAll(fd, "HTTP/1.1 " + status + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
}

// Parses the request line and headers; false when they are not HTTP.
bool ParseHead(const std::string& head, Request* request) {
  std::istringstream lines(head);
  std::string line;
  if (!std::getline(lines, line)) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::istringstream words(line);
  std::string version;
  if (!(words >> request->method >> request->target >> version) || version.compare(0, 5, "HTTP/") != 0) return false;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    request->headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
  }
  return true;
}

// The Content-Length as a number; false when it is not one or is too large.
bool BodyLength(const Request& request, size_t* length) {
  *length = 0;
  const std::string* text = request.Header("Content-Length");
  if (text == nullptr) return true;
  if (text->empty() || text->size() > 10) return false;
  for (char c : *text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  *length = std::stoul(*text);
  return *length <= kMaxBody;
}

}  // namespace

bool RkNotifyEndpoint::Start(std::string* error) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::listen(listen_fd_, 16) != 0 || ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      ::pipe2(wake_fds_, O_CLOEXEC) != 0) {
    *error = std::string("notification endpoint: ") + std::strerror(errno);
    Stop();
    return false;
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread(&RkNotifyEndpoint::Serve, this);
  return true;
}

void RkNotifyEndpoint::Stop() {
  if (thread_.joinable()) {
    const char byte = 0;
    if (::write(wake_fds_[1], &byte, 1) != 1) {
      // Nothing else can wake the loop; it still ends at the next connection.
    }
    thread_.join();
  }
  for (int* fd : {&listen_fd_, &wake_fds_[0], &wake_fds_[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void RkNotifyEndpoint::Serve() {
  pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fds_[0], POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const timeval timeout{kIoTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    HandleConnection(fd);
    ::close(fd);
  }
}

void RkNotifyEndpoint::HandleConnection(int fd) {
  std::string data;
  char buffer[4096];
  size_t head_end;
  while ((head_end = data.find("\r\n\r\n")) == std::string::npos) {
    if (data.size() > kMaxHead) {
      Reply(fd, "431 Request Header Fields Too Large", "{}");
      return;
    }
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) return;  // closed or timed out before a whole head came
    data.append(buffer, static_cast<size_t>(n));
  }

  Request request;
  size_t length = 0;
  if (!ParseHead(data.substr(0, head_end), &request)) {
    out_ << "[notify] not an HTTP request; answered 400" << std::endl;
    Reply(fd, "400 Bad Request", "{}");
    return;
  }
  if (request.Header("Transfer-Encoding") != nullptr) {
    out_ << "[notify] " << request.method << " " << request.target << ": chunked body; answered 411" << std::endl;
    Reply(fd, "411 Length Required", "{}");
    return;
  }
  if (!BodyLength(request, &length)) {
    out_ << "[notify] " << request.method << " " << request.target << ": bad or too large Content-Length; answered 413"
         << std::endl;
    Reply(fd, "413 Payload Too Large", "{}");
    return;
  }
  request.body = data.substr(head_end + 4);
  const std::string* expect = request.Header("Expect");
  if (expect != nullptr && strcasecmp(expect->c_str(), "100-continue") == 0 && request.body.size() < length) {
    SendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n");
  }
  while (request.body.size() < length) {
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) return;
    request.body.append(buffer, static_cast<size_t>(n));
  }
  request.body.resize(length);

  const std::string* user = request.Header("UserName");
  std::ostringstream text;
  text << "[notify] " << request.method << " " << request.target << "\n"
       << "         UserName: " << (user != nullptr ? *user : "(none)") << "\n";
  const std::string query = DecodedQuery(request.target);
  if (!query.empty()) text << "         query: " << query << "\n";
  if (request.body.empty()) {
    text << "         body: (none)\n";
  } else if (request.body.size() <= kMaxPrintedBody) {
    text << "         body: " << request.body << "\n";
  } else {
    text << "         body: " << request.body.substr(0, kMaxPrintedBody) << "... (" << request.body.size()
         << " bytes)\n";
  }
  out_ << text.str() << std::flush;
  Reply(fd, "200 OK", "{}");
}

}  // namespace rkhost
