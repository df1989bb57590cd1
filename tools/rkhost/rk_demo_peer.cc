#include "rk_demo_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace rkhost {
namespace {

constexpr char kReady[] = "listening on ";
// Only a peer that hangs takes this long to listen.
constexpr auto kStartBound = std::chrono::seconds(10);

}  // namespace

bool RkDemoPeer::Start(const std::filesystem::path& program, std::string* error) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  const std::string path = program.string();
  pid_ = fork();
  if (pid_ == 0) {
    // Goes with this program, however it ends.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    dup2(fds[1], STDOUT_FILENO);
    char port_option[] = "--port";
    char any_port[] = "0";
    char* argv[] = {const_cast<char*>(path.c_str()), port_option, any_port, nullptr};
    execv(path.c_str(), argv);
    _exit(127);
  }
  close(fds[1]);
  if (pid_ < 0) {
    close(fds[0]);
    *error = std::string("fork: ") + std::strerror(errno);
    return false;
  }
  std::string output;
  const auto deadline = std::chrono::steady_clock::now() + kStartBound;
  while (output.find('\n') == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    pollfd fd{fds[0], POLLIN, 0};
    if (left <= 0 || poll(&fd, 1, static_cast<int>(left)) <= 0) break;
    char buffer[256];
    const ssize_t n = read(fds[0], buffer, sizeof(buffer));
    if (n <= 0) break;
    output.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (output.compare(0, sizeof(kReady) - 1, kReady) != 0) {
    *error = "no sync peer from " + path;
    Stop();
    return false;
  }
  port_ = std::atoi(output.c_str() + sizeof(kReady) - 1);
  return true;
}

void RkDemoPeer::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
  port_ = 0;
}

}  // namespace rkhost
