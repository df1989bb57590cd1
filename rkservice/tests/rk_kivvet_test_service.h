// The notes service as the browser sees it: the shipped service library
// loaded with dlopen from a folder (which holds the notes engine library, or
// not), services started through the flat interface on free loopback ports,
// requests over real HTTP, and the service's log file.
#ifndef RKSERVICE_TESTS_RK_KIVVET_TEST_SERVICE_H_
#define RKSERVICE_TESTS_RK_KIVVET_TEST_SERVICE_H_

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "rk_test_http.h"
#include "rk_test_wait.h"
#include "rkservice.h"

namespace rktest {

namespace fs = std::filesystem;

// A fresh folder, removed with everything in it. In memory where the machine
// has a RAM-backed folder: the notes stores sync every change to disk, and a
// thousand such changes take a minute on a busy disk, a second in memory.
class KivvetTempDir {
 public:
  KivvetTempDir() {
    std::random_device seed;
    std::error_code ec;
    const fs::path shm = "/dev/shm";
    const fs::path base = fs::is_directory(shm, ec) && ::access(shm.c_str(), W_OK) == 0 ? shm : fs::temp_directory_path();
    path_ = base / ("rk_kivvet_" + std::to_string(::getpid()) + "_" + std::to_string(seed()));
    fs::create_directories(path_);
  }
  ~KivvetTempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  KivvetTempDir(const KivvetTempDir&) = delete;
  KivvetTempDir& operator=(const KivvetTempDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The service library of one folder, bound by name as the browser binds it.
// Services still running are released at the end; the library stays loaded.
class KivvetServiceLibrary {
 public:
  explicit KivvetServiceLibrary(const fs::path& folder = RK_OUTPUT_DIR) {
    handle_ = dlopen((folder / "librkservice.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      ADD_FAILURE() << dlerror();
      return;
    }
    add_ = reinterpret_cast<decltype(add_)>(dlsym(handle_, "AddRkService"));
    start_ = reinterpret_cast<decltype(start_)>(dlsym(handle_, "StartRkService"));
    remove_ = reinterpret_cast<decltype(remove_)>(dlsym(handle_, "RemoveRkService"));
    release_ = reinterpret_cast<decltype(release_)>(dlsym(handle_, "ReleaseRkService"));
    free_ = reinterpret_cast<decltype(free_)>(dlsym(handle_, "FreeMemory"));
  }
  ~KivvetServiceLibrary() {
    if (release_ != nullptr) release_();
  }
  KivvetServiceLibrary(const KivvetServiceLibrary&) = delete;
  KivvetServiceLibrary& operator=(const KivvetServiceLibrary&) = delete;

  // Adds and starts a service with its data under root; its port, or 0.
  int Start(const std::string& name, const fs::path& root, const std::string& notify_host) {
    if (add_ == nullptr || start_ == nullptr) return 0;
    fs::create_directories(root);
    const std::string port = std::to_string(FreeLoopbackPort());
    const std::string root_text = root.string();
    const RkServiceDesc desc = {name.c_str(), port.c_str(), root_text.c_str(), 1, notify_host.c_str()};
    if (!add_(&desc)) return 0;
    char* address = nullptr;
    int length = 0;
    if (!start_(name.c_str(), &address, &length)) return 0;
    free_(reinterpret_cast<void**>(&address));
    return std::stoi(port);
  }
  // Removing a service destroys its handlers and with them their engines.
  void Remove(const std::string& name) { remove_(name.c_str()); }

 private:
  void* handle_ = nullptr;
  decltype(&::AddRkService) add_ = nullptr;
  decltype(&::StartRkService) start_ = nullptr;
  decltype(&::RemoveRkService) remove_ = nullptr;
  decltype(&::ReleaseRkService) release_ = nullptr;
  decltype(&::FreeMemory) free_ = nullptr;
};

// A request of `user` to the service; a body goes with the given content type
// (none when it is empty).
inline HttpReply KivvetRequest(int port, const std::string& method, const std::string& target,
                               const std::string& body = {}, const std::string& content_type = "application/json",
                               const std::string& user = "ann") {
  HeaderList headers = {{"UserName", user}};
  if (!content_type.empty()) headers.emplace_back("Content-Type", content_type);
  return Request(port, method, target, headers, body);
}

// The log file of a root: the first service of the process opened it.
inline std::string ReadServiceLog(const fs::path& root) {
  std::ifstream in(root / "Log Files" / "rkservice.log");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Lines below warning reach the file when a warning follows them; a request
// without a user makes one.
inline std::string FlushedServiceLog(int port, const fs::path& root) {
  Request(port, "GET", "/kivvet/hit");
  return ReadServiceLog(root);
}

// Waits until the log holds `text` (flushing it each time); false after a
// bound that only a hang reaches.
inline bool WaitForLog(int port, const fs::path& root, const std::string& text,
                       std::chrono::seconds bound = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (FlushedServiceLog(port, root).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace rktest

#endif  // RKSERVICE_TESTS_RK_KIVVET_TEST_SERVICE_H_
