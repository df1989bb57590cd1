// A service of the library linked into the test itself, added and started
// through the service manager on a loopback port.
#ifndef RKSERVICE_TESTS_RK_IN_PROCESS_SERVICE_H_
#define RKSERVICE_TESTS_RK_IN_PROCESS_SERVICE_H_

#include <sys/resource.h>

#include <string>

#include "rkservice.h"

namespace rktest {

// Lets one test process hold some hundred sockets at once: clients, the
// service's side of them, notifications and the notify host's side.
inline bool RaiseDescriptorLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  limit.rlim_cur = limit.rlim_max;
  return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

inline bool StartInProcessService(const std::string& name, int port, const std::string& root,
                                  const std::string& notify_host) {
  rkservice::RkServiceInfo info;
  info.name = name;
  info.port = std::to_string(port);
  info.root_path = root;
  info.notify_host = notify_host;
  return rkservice::RkServiceManager::GetInstance()->AddRkService(info) &&
         rkservice::RkServiceManager::GetInstance()->StartRkService(name);
}

}  // namespace rktest

#endif  // RKSERVICE_TESTS_RK_IN_PROCESS_SERVICE_H_
