// One server of the loopback HTTP benchmark, in its own process because
// cpprestsdk's thread pool is process-wide and sized once:
//   rk_http_bench_server bare    --threads N [--body FILE]
//                                a bare http_listener answering "{}", or the
//                                bytes of FILE
//   rk_http_bench_server service [--threads N] --root DIR [--log FILE]
//                                the service through its flat interface (dlopen),
//                                with FILE: logging to it at warning, as a browser
//                                starts it
// It prints "ready PORT THREADS" once it serves on 127.0.0.1:PORT (THREADS: of
// the whole process) and stops at SIGINT or SIGTERM.
#include <cpprest/http_listener.h>
#include <dlfcn.h>
#include <pplx/threadpool.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <iostream>
#include <string>

#include "rk_test_http.h"
#include "rkservice.h"

namespace {

using web::http::http_request;
using web::http::methods;
using web::http::status_codes;
using web::http::experimental::listener::http_listener;

// Threads of this process, so that the benchmark can show the pool in effect.
size_t ThreadCount() {
  std::error_code ec;
  size_t count = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/task", ec); !ec && it != std::filesystem::end(it);
       it.increment(ec)) {
    ++count;
  }
  return count;
}

void Ready(int port) { std::cout << "ready " << port << " " << ThreadCount() << std::endl; }

int WaitForStop() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  int sig = 0;
  sigwait(&stop, &sig);
  return sig;
}

int Fail(const std::string& why) {
  std::cerr << "rk_http_bench_server: " << why << std::endl;
  return 1;
}

int RunBare(int port, const std::string& body) {
  http_listener listener("http://localhost:" + std::to_string(port));
  // The methods the service binds; OPTIONS needs its own handler, or the
  // listener answers it by itself.
  for (const auto& method : {methods::GET, methods::POST, methods::PUT, methods::DEL, methods::HEAD, methods::OPTIONS,
                             methods::CONNECT}) {
    listener.support(method, [&body](http_request request) { request.reply(status_codes::OK, body); });
  }
  try {
    listener.open().wait();
  } catch (const std::exception& e) {
    return Fail(std::string("bare listener: ") + e.what());
  }
  Ready(port);
  WaitForStop();
  listener.close().wait();
  return 0;
}

template <typename F>
bool Bind(void* library, const char* name, F* function) {
  *function = reinterpret_cast<F>(dlsym(library, name));
  return *function != nullptr;
}

int RunService(int port, const std::string& root, const std::string& log) {
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  const std::string path = (self.parent_path() / "librkservice.so").string();
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return Fail(dlerror());
  decltype(&::AddRkService) add = nullptr;
  decltype(&::StartRkService) start = nullptr;
  decltype(&::ReleaseRkService) release = nullptr;
  decltype(&::FreeMemory) free_memory = nullptr;
  decltype(&::StartLogger) start_logger = nullptr;
  if (!Bind(library, "StartLogger", &start_logger) || !Bind(library, "AddRkService", &add) || !Bind(library, "StartRkService", &start) ||
      !Bind(library, "ReleaseRkService", &release) || !Bind(library, "FreeMemory", &free_memory)) {
    return Fail("the service library lacks a flat function");
  }

  if (!log.empty() && !start_logger(log.c_str(), 3)) return Fail("cannot log to " + log);
  const std::string port_text = std::to_string(port);
  const RkServiceDesc desc = {"bench", port_text.c_str(), root.c_str(), 1, "http://127.0.0.1:9"};
  char* address = nullptr;
  int length = 0;
  if (!add(&desc) || !start("bench", &address, &length)) return Fail("the service did not start");
  free_memory(reinterpret_cast<void**>(&address));
  Ready(port);
  WaitForStop();
  release();
  dlclose(library);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string usage =
      "usage: rk_http_bench_server bare --threads N [--body FILE] | service [--threads N] --root DIR [--log FILE]";
  if (argc < 2) return Fail(usage);
  const std::string mode = argv[1];
  size_t threads = 0;
  std::string root;
  std::string body = "{}";
  std::string log;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--body") {
      std::ifstream in(argv[i + 1], std::ios::binary);
      if (!in) return Fail(std::string("cannot read ") + argv[i + 1]);
      body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else if (option == "--threads") {
      threads = std::strtoul(argv[i + 1], nullptr, 10);
    } else if (option == "--log") {
      log = argv[i + 1];
    } else if (option == "--root") {
      root = argv[i + 1];
    } else {
      return Fail(usage);
    }
  }
  if ((mode == "bare" && threads == 0) || (mode == "service" && root.empty()) || (mode != "bare" && mode != "service")) {
    return Fail(usage);
  }

  // Blocked before any pool thread starts, so that only sigwait sees them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  // The pool is sized by whoever comes first: set here, it also stands for the
  // service, which then keeps it instead of its built-in size.
  if (threads != 0) crossplat::threadpool::initialize_with_threads(threads);

  const int port = rktest::FreeLoopbackPort();
  if (port == 0) return Fail("no free loopback port");
  return mode == "bare" ? RunBare(port, body) : RunService(port, root, log);
}
