// Stands in for the browser's notification receiver: a tiny HTTP endpoint on
// 127.0.0.1 that prints every request it gets and answers 200 "{}".
#ifndef TOOLS_RKHOST_RK_NOTIFY_ENDPOINT_H_
#define TOOLS_RKHOST_RK_NOTIFY_ENDPOINT_H_

#include <ostream>
#include <string>
#include <thread>

namespace rkhost {

class RkNotifyEndpoint {
 public:
  explicit RkNotifyEndpoint(std::ostream& out) : out_(out) {}
  ~RkNotifyEndpoint() { Stop(); }
  RkNotifyEndpoint(const RkNotifyEndpoint&) = delete;
  RkNotifyEndpoint& operator=(const RkNotifyEndpoint&) = delete;

  // Listens on a free loopback port; false with the reason in `error`.
  bool Start(std::string* error);
  void Stop();
  int Port() const { return port_; }

 private:
  void Serve();
  void HandleConnection(int fd);

  std::ostream& out_;
  int listen_fd_ = -1;
  int wake_fds_[2] = {-1, -1};  // written by Stop to end the accept loop
  int port_ = 0;
  std::thread thread_;
};

}  // namespace rkhost

#endif  // TOOLS_RKHOST_RK_NOTIFY_ENDPOINT_H_
