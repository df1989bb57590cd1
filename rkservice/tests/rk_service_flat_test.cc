// The flat interface as the browser sees it: the shipped library loaded with
// dlopen, real HTTP on loopback.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "rk_test_http.h"
#include "rkservice.h"

namespace {

namespace fs = std::filesystem;

struct ServiceLibrary {
  void* handle = nullptr;
  decltype(&::StartLogger) start_logger = nullptr;
  decltype(&::AddRkService) add = nullptr;
  decltype(&::StartRkService) start = nullptr;
  decltype(&::StopRkService) stop = nullptr;
  decltype(&::RemoveRkService) remove = nullptr;
  decltype(&::ReleaseRkService) release = nullptr;
  decltype(&::GetServiceAddress) address = nullptr;
  decltype(&::GetServiceVersion) version = nullptr;
  decltype(&::FreeMemory) free_memory = nullptr;

  void Load() {
    handle = dlopen(RK_OUTPUT_DIR "/librkservice.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    Bind(start_logger, "StartLogger");
    Bind(add, "AddRkService");
    Bind(start, "StartRkService");
    Bind(stop, "StopRkService");
    Bind(remove, "RemoveRkService");
    Bind(release, "ReleaseRkService");
    Bind(address, "GetServiceAddress");
    Bind(version, "GetServiceVersion");
    Bind(free_memory, "FreeMemory");
  }
  template <typename F>
  void Bind(F& f, const char* name) {
    f = reinterpret_cast<F>(dlsym(handle, name));
    ASSERT_NE(f, nullptr) << name;
  }
};

class FlatInterface : public testing::Test {
 protected:
  void SetUp() override {
    lib_.Load();
    root_ = fs::path(testing::TempDir()) / ("rk_flat_" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    port_ = std::to_string(rktest::FreeLoopbackPort());
  }
  void TearDown() override {
    if (lib_.release) lib_.release();
    fs::remove_all(root_);
  }

  bool Add(const std::string& name, bool local_only = true, const std::string& port = "") {
    const std::string root = root_.string();
    const std::string& p = port.empty() ? port_ : port;
    RkServiceDesc desc{name.c_str(), p.c_str(), root.c_str(), static_cast<uint8_t>(local_only ? 1 : 0),
                       "http://127.0.0.1:1"};
    return lib_.add(&desc);
  }
  // Starts the service and returns the address it reports ("" on failure).
  std::string Start(const std::string& name, int* len_out = nullptr) {
    char* out = nullptr;
    int len = -1;
    const bool ok = lib_.start(name.c_str(), &out, &len);
    if (len_out) *len_out = len;
    if (!ok) {
      EXPECT_EQ(len, 0);
      EXPECT_EQ(out, nullptr);
      return "";
    }
    std::string address(out, static_cast<size_t>(len));
    lib_.free_memory(reinterpret_cast<void**>(&out));
    return address;
  }
  std::string Address(const std::string& name) {
    char* out = nullptr;
    int len = -1;
    if (!lib_.address(name.c_str(), &out, &len)) {
      EXPECT_EQ(out, nullptr);
      EXPECT_EQ(len, -1);
      return "";
    }
    std::string address(out, static_cast<size_t>(len));
    lib_.free_memory(reinterpret_cast<void**>(&out));
    return address;
  }
  int Port() const { return std::stoi(port_); }
  std::string ReadLog(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  ServiceLibrary lib_;
  fs::path root_;
  std::string port_;
};

TEST_F(FlatInterface, VersionBufferHoldsTextAndNul) {
  char* out = nullptr;
  lib_.version(&out);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(std::string(out, 5), std::string("v0.2\0", 5));
  lib_.free_memory(reinterpret_cast<void**>(&out));
}

TEST_F(FlatInterface, AddStartStopAndAddresses) {
  ASSERT_TRUE(Add("svc"));
  EXPECT_FALSE(Add("svc"));  // name taken; the first one stays
  EXPECT_EQ(Address("svc"), "");  // not running yet

  int len = -1;
  const std::string address = Start("svc", &len);
  EXPECT_EQ(address, "http://localhost:" + port_);
  EXPECT_EQ(len, static_cast<int>(address.size()));
  EXPECT_EQ(Address("svc"), address);
  EXPECT_EQ(Start("svc"), address);  // starting twice keeps the listener

  const rktest::HttpReply reply = rktest::Request(Port(), "GET", "/");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "{}");

  lib_.stop("svc");
  EXPECT_EQ(Address("svc"), "");
  EXPECT_EQ(rktest::Request(Port(), "GET", "/").status, 0);  // nobody listens
  EXPECT_EQ(Start("svc"), address);
  EXPECT_EQ(rktest::Request(Port(), "GET", "/").status, 200);
}

TEST_F(FlatInterface, UnknownNamesAndNullArguments) {
  EXPECT_EQ(Start("nobody"), "");
  EXPECT_EQ(Address("nobody"), "");
  lib_.stop("nobody");
  lib_.remove("nobody");

  char* out = nullptr;
  int len = -1;
  EXPECT_FALSE(lib_.address(nullptr, &out, &len));
  EXPECT_FALSE(lib_.start(nullptr, &out, &len));
  EXPECT_EQ(len, 0);
  EXPECT_FALSE(lib_.start("nobody", nullptr, nullptr));
  EXPECT_FALSE(lib_.add(nullptr));
  const std::string root = root_.string();
  RkServiceDesc missing_text{"x", nullptr, root.c_str(), 1, "http://h"};
  EXPECT_FALSE(lib_.add(&missing_text));
  EXPECT_FALSE(lib_.start_logger(nullptr, 0));
  lib_.stop(nullptr);
  lib_.remove(nullptr);
  lib_.version(nullptr);
  lib_.free_memory(nullptr);
  void* nothing = nullptr;
  lib_.free_memory(&nothing);

  ASSERT_TRUE(Add("svc"));
  ASSERT_NE(Start("svc"), "");
  EXPECT_FALSE(lib_.address("svc", nullptr, &len));
}

TEST_F(FlatInterface, AllAddressesReportsStarAndServesIpv4) {
  ASSERT_TRUE(Add("open", false));
  EXPECT_EQ(Start("open"), "http://*:" + port_);
  EXPECT_EQ(rktest::Request(Port(), "GET", "/").status, 200);
}

TEST_F(FlatInterface, PortTakenThenFreedIsRetried) {
  const int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(Port()));
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);

  ASSERT_TRUE(Add("svc"));
  int len = -1;
  EXPECT_EQ(Start("svc", &len), "");
  EXPECT_EQ(len, 0);
  ::close(blocker);
  EXPECT_EQ(Start("svc"), "http://localhost:" + port_);
  EXPECT_EQ(rktest::Request(Port(), "GET", "/").status, 200);
}

TEST_F(FlatInterface, UnusablePortTextsFailToStart) {
  for (const std::string port : {"notaport", "70000", "0", "-1", ""}) {
    ASSERT_TRUE(Add("bad" + port, true, port.empty() ? " " : port)) << port;
    EXPECT_EQ(Start("bad" + port), "") << port;
  }
}

TEST_F(FlatInterface, SecondServiceOnSamePortLeavesFirstServing) {
  ASSERT_TRUE(Add("first"));
  ASSERT_TRUE(Add("second"));
  ASSERT_NE(Start("first"), "");
  EXPECT_EQ(Start("second"), "");
  EXPECT_EQ(rktest::Request(Port(), "GET", "/").status, 200);
  lib_.stop("first");
  EXPECT_NE(Start("second"), "");  // the endpoint is free again
  EXPECT_EQ(rktest::Request(Port(), "GET", "/").status, 200);
}

TEST_F(FlatInterface, RemoveStopsTheListenerAndFreesTheName) {
  ASSERT_TRUE(Add("svc"));
  ASSERT_NE(Start("svc"), "");
  lib_.remove("svc");
  EXPECT_EQ(rktest::Request(Port(), "GET", "/").status, 0);
  EXPECT_EQ(Address("svc"), "");
  ASSERT_TRUE(Add("svc"));
  EXPECT_NE(Start("svc"), "");
  lib_.release();
  EXPECT_EQ(rktest::Request(Port(), "GET", "/").status, 0);
  EXPECT_TRUE(Add("svc"));
}

TEST_F(FlatInterface, LogFileUnderLogFilesAtWarning) {
  ASSERT_TRUE(Add("svc"));
  ASSERT_NE(Start("svc"), "");
  ASSERT_EQ(rktest::Request(Port(), "GET", "/nosuch/x").status, 400);  // warning line
  rktest::Request(Port(), "GET", "/nosuch/x", {{"UserName", "u"}});  // error lines
  const std::string log = ReadLog(root_ / "Log Files" / "rkservice.log");
  EXPECT_NE(log.find("] [warning] UserName must in headers"), std::string::npos) << log;
  EXPECT_NE(log.find("] [error] create handler error for nosuch. "), std::string::npos) << log;
  EXPECT_EQ(log.find("[ info]"), std::string::npos) << log;  // below the level
  EXPECT_EQ(log.find("[trace]"), std::string::npos) << log;
}

TEST_F(FlatInterface, MarkerTurnsOnFullLogging) {
  std::ofstream(root_ / "rklog.a").close();
  ASSERT_TRUE(Add("svc"));
  ASSERT_NE(Start("svc"), "");
  EXPECT_EQ(rktest::Request(Port(), "GET", "/kivvet/x?a=1").status, 400);
  const std::string log = ReadLog(root_ / "Log Files" / "rkservice.log");
  EXPECT_NE(log.find("[trace] GET /kivvet/x?a=1 HTTP/1.1"), std::string::npos) << log;
  EXPECT_NE(log.find("[ info] init RkService:svc at host:http://localhost:" + port_), std::string::npos) << log;
}

TEST_F(FlatInterface, FileNamedLogFilesSendsTheLogToTheRoot) {
  std::ofstream(root_ / "Log Files") << "not a folder";
  ASSERT_TRUE(Add("svc"));
  ASSERT_NE(Start("svc"), "");
  rktest::Request(Port(), "GET", "/kivvet/x");
  EXPECT_NE(ReadLog(root_ / "rkservice.log").find("UserName must in headers"), std::string::npos);
  EXPECT_EQ(ReadLog(root_ / "Log Files"), "not a folder");
}

// The browser may unload the library, or exit, with services still listening
// and just served: the process must end cleanly and promptly.
TEST_F(FlatInterface, UnloadAndExitWithServicesStillListening) {
  for (const bool unload : {true, false}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (!Add("svc") || Start("svc").empty()) _exit(3);
      std::vector<std::thread> clients;
      for (int i = 0; i < 8; ++i) {
        clients.emplace_back([this] {
          for (int n = 0; n < 50; ++n) rktest::Request(Port(), "GET", "/kivvet/x", {{"UserName", "u"}});
        });
      }
      for (auto& client : clients) client.join();
      if (unload && dlclose(lib_.handle) != 0) _exit(4);
      std::exit(0);  // runs the exit-time teardown with the listener open
    }
    int status = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (waitpid(child, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!WIFEXITED(status) && !WIFSIGNALED(status)) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      FAIL() << "exit hung (unload " << unload << ")";
    }
    EXPECT_TRUE(WIFEXITED(status)) << "unload " << unload;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "unload " << unload;
    EXPECT_EQ(rktest::Request(Port(), "GET", "/").status, 0);
  }
}

}  // namespace
