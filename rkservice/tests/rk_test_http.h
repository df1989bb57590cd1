// A blocking HTTP/1.1 client over raw sockets for the tests: it sends exactly
// the bytes a test gives it, so that odd requests (bare CONNECT, header case,
// raw paths) reach the service as written.
#ifndef RKSERVICE_TESTS_RK_TEST_HTTP_H_
#define RKSERVICE_TESTS_RK_TEST_HTTP_H_

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace rktest {

struct HttpReply {
  int status = 0;  // 0: no reply
  std::string reason;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  bool Has(const std::string& name) const { return headers.count(name) != 0; }
  std::string Header(const std::string& name) const {
    const auto found = headers.find(name);
    return found != headers.end() ? found->second : std::string();
  }
};

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// A port that was free a moment ago on 127.0.0.1; 0 when none could be had.
int FreeLoopbackPort();
// A socket listens on 127.0.0.1:port (it cannot be bound even with
// SO_REUSEADDR). Makes no connection.
bool LoopbackPortListening(int port);

// A request with Host and "Connection: close"; Content-Length when there is a body.
std::string BuildRequest(const std::string& method, const std::string& target, const HeaderList& headers = {},
                         const std::string& body = {});

// Sends the raw bytes to 127.0.0.1:port and reads the reply until the peer
// closes or the body is complete.
HttpReply Exchange(int port, const std::string& raw, int timeout_ms = 10000);

// A client connection that sends its request in parts, to hold a request
// open at a chosen point.
class SlowClient {
 public:
  explicit SlowClient(int port);
  ~SlowClient();
  SlowClient(const SlowClient&) = delete;
  SlowClient& operator=(const SlowClient&) = delete;

  bool Send(const std::string& bytes);
  // The peer has sent something (or closed) that is not read yet.
  bool Readable();
  // Everything until the peer closes the connection, or what came before
  // 10 s passed without a byte.
  std::string Receive();
  // One reply, as soon as it is complete (status 0 when none came).
  HttpReply ReceiveReply(int timeout_ms = 10000);
  // Ends the sending side: the peer reads the end of the stream.
  void ShutdownSend();
  // Reads and drops what comes until the peer closes (true) or timeout_ms
  // pass without a byte (false).
  bool ClosedByPeer(int timeout_ms = 30000);

 private:
  int fd_;
  bool connected_ = false;
};

inline HttpReply Request(int port, const std::string& method, const std::string& target,
                         const HeaderList& headers = {}, const std::string& body = {}) {
  return Exchange(port, BuildRequest(method, target, headers, body));
}

}  // namespace rktest

#endif  // RKSERVICE_TESTS_RK_TEST_HTTP_H_
