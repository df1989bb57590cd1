// rk_kivvet_peer --port N [--key K]: the notes engine's sync peer on
// 127.0.0.1:N until SIGINT or SIGTERM. Prints "listening on N" when ready
// (port 0 takes a free port and prints it). With --key, any other key is
// answered 401.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "rk_kivvet_peer_accounts.h"
#include "rk_kivvet_peer_server.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: rk_kivvet_peer --port N [--key K]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  long port = -1;
  std::string key;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      char* end = nullptr;
      port = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || port < 0 || port > 65535) return Usage();
    } else if (std::strcmp(argv[i], "--key") == 0 && i + 1 < argc) {
      key = argv[++i];
    } else {
      return Usage();
    }
  }
  if (port < 0) return Usage();

  // Blocked before any thread starts, so only sigwait below takes them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  rkkivvet::RkKivvetPeerAccounts accounts(key);
  rkkivvet::RkKivvetPeerServer server([&accounts](const rkkivvet::RkPeerRequest& r) { return accounts.Handle(r); });
  if (!server.Listen(static_cast<int>(port))) {
    std::fprintf(stderr, "can not listen on 127.0.0.1:%ld\n", port);
    return 1;
  }
  server.Start();
  std::printf("listening on %d\n", server.port());
  std::fflush(stdout);
  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  server.Stop();
  return 0;
}
