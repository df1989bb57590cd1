// The demo's own notes sync peer: rk_kivvet_peer from the folder of this
// program, run as a child on a free loopback port, so that the notes routes
// can sync without any server outside this machine.
#ifndef TOOLS_RKHOST_RK_DEMO_PEER_H_
#define TOOLS_RKHOST_RK_DEMO_PEER_H_

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace rkhost {

class RkDemoPeer {
 public:
  RkDemoPeer() = default;
  ~RkDemoPeer() { Stop(); }
  RkDemoPeer(const RkDemoPeer&) = delete;
  RkDemoPeer& operator=(const RkDemoPeer&) = delete;

  // Starts the peer and waits until it listens; false with the reason.
  bool Start(const std::filesystem::path& program, std::string* error);
  // Asks it to stop and waits for it.
  void Stop();
  int Port() const { return port_; }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace rkhost

#endif  // TOOLS_RKHOST_RK_DEMO_PEER_H_
