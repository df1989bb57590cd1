#include "rk_kivvet_peer_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>

#include "rk_kivvet_protocol.h"

namespace rkkivvet {
namespace {

constexpr size_t kMaxHeadBytes = 64 * 1024;
constexpr auto kReadLimit = std::chrono::seconds(30);
constexpr int kPollMs = 100;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  size_t start = 0;
  size_t end = text.size();
  while (start < end && (text[start] == ' ' || text[start] == '\t')) ++start;
  while (end > start && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r')) --end;
  return text.substr(start, end - start);
}

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 413: return "Payload Too Large";
    default: return "Status";
  }
}

bool WriteAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool ParseHead(const std::string& head, RkPeerRequest* request) {
  size_t line_end = head.find("\r\n");
  const std::string first = head.substr(0, line_end);
  const size_t sp1 = first.find(' ');
  const size_t sp2 = first.find(' ', sp1 + 1);
  if (sp1 == std::string::npos || sp2 == std::string::npos) return false;
  request->method = first.substr(0, sp1);
  const std::string target = first.substr(sp1 + 1, sp2 - sp1 - 1);
  const size_t question = target.find('?');
  request->path = target.substr(0, question);
  request->query = question != std::string::npos ? target.substr(question + 1) : std::string();
  while (line_end != std::string::npos) {
    const size_t start = line_end + 2;
    line_end = head.find("\r\n", start);
    const std::string line = head.substr(start, line_end == std::string::npos ? std::string::npos : line_end - start);
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    request->headers[Lower(Trim(line.substr(0, colon)))] = Trim(line.substr(colon + 1));
  }
  return true;
}

}  // namespace

std::string RkPeerRequest::Header(const std::string& name) const {
  const auto found = headers.find(Lower(name));
  return found != headers.end() ? found->second : std::string();
}

RkKivvetPeerServer::~RkKivvetPeerServer() { Stop(); }

bool RkKivvetPeerServer::Listen(int port) {
  if (port < 0 || port > 65535) return false;
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  if (listener_ < 0) return false;
  const int yes = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t size = sizeof(address);
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(listener_, 64) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    close(listener_);
    listener_ = -1;
    return false;
  }
  port_ = ntohs(address.sin_port);
  return true;
}

void RkKivvetPeerServer::Start() { acceptor_ = std::thread([this] { AcceptLoop(); }); }

void RkKivvetPeerServer::Stop() {
  stopping_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  Reap(true);
  if (listener_ >= 0) close(listener_);
  listener_ = -1;
}

void RkKivvetPeerServer::Reap(bool all) {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (all || it->done->load()) {
      it->thread.join();
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void RkKivvetPeerServer::AcceptLoop() {
  while (!stopping_) {
    Reap(false);
    pollfd p = {listener_, POLLIN, 0};
    if (poll(&p, 1, kPollMs) <= 0) continue;
    const int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) continue;
    auto done = std::make_shared<std::atomic<bool>>(false);
    connections_.push_back({std::thread([this, fd, done] {
                              Serve(fd);
                              *done = true;
                            }),
                            done});
  }
  Reap(true);
}

bool RkKivvetPeerServer::ReadRequest(int fd, RkPeerRequest* request) {
  const auto deadline = std::chrono::steady_clock::now() + kReadLimit;
  std::string data;
  size_t head_end = std::string::npos;
  size_t body_size = 0;
  while (!stopping_ && std::chrono::steady_clock::now() < deadline) {
    if (head_end != std::string::npos && data.size() >= head_end + 4 + body_size) break;
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, kPollMs) <= 0) continue;
    char buffer[16384];
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) return false;
    data.append(buffer, static_cast<size_t>(n));
    if (head_end != std::string::npos) continue;
    head_end = data.find("\r\n\r\n");
    if (head_end == std::string::npos) {
      if (data.size() > kMaxHeadBytes) return false;
      continue;
    }
    if (!ParseHead(data.substr(0, head_end), request)) return false;
    const std::string length = request->Header("content-length");
    if (!length.empty()) {
      char* end = nullptr;
      const unsigned long long value = std::strtoull(length.c_str(), &end, 10);
      if (end == length.c_str() || *end != '\0' || value > protocol::kMaxBodyBytes) return false;
      body_size = static_cast<size_t>(value);
    } else if (!request->Header("transfer-encoding").empty()) {
      return false;
    }
    if (Lower(request->Header("expect")) == "100-continue" && !WriteAll(fd, "HTTP/1.1 100 Continue\r\n\r\n")) {
      return false;
    }
  }
  if (head_end == std::string::npos || data.size() < head_end + 4 + body_size) return false;
  request->body = data.substr(head_end + 4, body_size);
  return true;
}

void RkKivvetPeerServer::Serve(int fd) {
  RkPeerRequest request;
  RkPeerReply reply;
  bool read = ReadRequest(fd, &request);
  if (read) {
    try {
      reply = handler_(request);
    } catch (...) {
      read = false;
    }
  }
  if (!read) {
    reply = RkPeerReply();
    reply.status = 400;
    reply.body = "{}";
  }
  std::string answer = "HTTP/1.1 " + std::to_string(reply.status) + " " + Reason(reply.status) + "\r\n";
  answer += "Content-Type: " + reply.content_type + "\r\n";
  for (const auto& header : reply.headers) answer += header.first + ": " + header.second + "\r\n";
  answer += "Content-Length: " + std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n";
  answer += reply.body;
  WriteAll(fd, answer);
  shutdown(fd, SHUT_RDWR);
  close(fd);
}

}  // namespace rkkivvet
