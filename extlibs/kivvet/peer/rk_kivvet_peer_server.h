// A small HTTP/1.1 server on 127.0.0.1 for the sync peer: one request per
// connection, each connection on a thread of its own, bounded reads.
#ifndef EXTLIBS_KIVVET_PEER_RK_KIVVET_PEER_SERVER_H_
#define EXTLIBS_KIVVET_PEER_RK_KIVVET_PEER_SERVER_H_

#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace rkkivvet {

struct RkPeerRequest {
  std::string method;
  std::string path;
  std::string query;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  // By name in any case; "" when absent.
  std::string Header(const std::string& name) const;
};

struct RkPeerReply {
  int status = 200;
  std::string content_type = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

class RkKivvetPeerServer {
 public:
  using Handler = std::function<RkPeerReply(const RkPeerRequest&)>;

  explicit RkKivvetPeerServer(Handler handler) : handler_(std::move(handler)) {}
  ~RkKivvetPeerServer();
  RkKivvetPeerServer(const RkKivvetPeerServer&) = delete;
  RkKivvetPeerServer& operator=(const RkKivvetPeerServer&) = delete;

  // Port 0 takes a free one; port() tells which.
  bool Listen(int port);
  int port() const { return port_; }
  void Start();
  // Stops accepting, ends the connections and joins their threads.
  void Stop();

 private:
  struct Connection {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  void AcceptLoop();
  void Serve(int fd);
  bool ReadRequest(int fd, RkPeerRequest* request);
  void Reap(bool all);

  Handler handler_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::list<Connection> connections_;  // the acceptor's only
};

}  // namespace rkkivvet

#endif  // EXTLIBS_KIVVET_PEER_RK_KIVVET_PEER_SERVER_H_
