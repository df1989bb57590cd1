// The demo host as a user runs it: the real program, real HTTP on loopback,
// stopped by a signal.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "rk_default_notes_source.h"
#include "rk_test_http.h"
#include "rk_test_wait.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// rkhost as a child process, its standard output and error read together;
// with a limit on its open files when one is given.
class Host {
 public:
  explicit Host(const std::vector<std::string>& args, rlim_t open_files = 0) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      if (open_files != 0) {
        const struct rlimit limit = {open_files, open_files};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
      }
      dup2(fds[1], STDOUT_FILENO);
      dup2(fds[1], STDERR_FILENO);
      std::vector<char*> argv = {const_cast<char*>(RKHOST_PATH)};
      for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execv(RKHOST_PATH, argv.data());
      _exit(127);
    }
    close(fds[1]);
    out_fd_ = fds[0];
  }
  ~Host() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) close(out_fd_);
  }

  // Reads output until `text` shows up; false after the bound or at end of output.
  bool WaitFor(const std::string& text, std::chrono::milliseconds bound = rktest::kHangBound) {
    const auto deadline = Clock::now() + bound;
    while (output_.find(text) == std::string::npos) {
      if (!ReadSome(deadline)) return false;
    }
    return true;
  }

  // The exit code after the child has ended by itself; -1 when it did not in time.
  int Wait(std::chrono::milliseconds bound = rktest::kHangBound) {
    const auto deadline = Clock::now() + bound;
    while (ReadSome(deadline)) {
    }
    int status = 0;
    while (Clock::now() < deadline) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(10000);
    }
    return -1;
  }

  void Signal(int sig) { kill(pid_, sig); }
  pid_t pid() const { return pid_; }
  const std::string& Output() const { return output_; }

 private:
  bool ReadSome(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd fd{out_fd_, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(left)) <= 0) return false;
    char buffer[4096];
    const ssize_t n = read(out_fd_, buffer, sizeof(buffer));
    if (n <= 0) return false;
    output_.append(buffer, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int out_fd_ = -1;
  std::string output_;
};

class RkHost : public testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    root_ = fs::path(testing::TempDir()) / ("rkhost_test_" + std::to_string(getpid()));
    fs::remove_all(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path root_;
};

TEST_P(RkHost, ServesAndStopsCleanlyOnSignal) {
  const std::string port = std::to_string(rktest::FreeLoopbackPort());
  Host host({"--port", port, "--root", root_.string()});
  ASSERT_TRUE(host.WaitFor("Ctrl-C stops.")) << host.Output();
  EXPECT_NE(host.Output().find("rkservice v0.2"), std::string::npos) << host.Output();
  EXPECT_NE(host.Output().find("service \"demo\" at http://localhost:" + port + "\n"), std::string::npos)
      << host.Output();
  EXPECT_TRUE(fs::is_regular_file(root_ / "Log Files" / "rkservice.log"));

  const rktest::HttpReply reply = rktest::Request(std::stoi(port), "GET", "/");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "{}");
  EXPECT_EQ(reply.Header("access-control-allow-origin"), "*");
  EXPECT_EQ(reply.Header("access-control-allow-methods"), "POST, PUT, GET, OPTIONS, DELETE, HEAD");
  EXPECT_EQ(reply.Header("access-control-allow-headers"), "UserName");
  EXPECT_EQ(reply.Header("server"), "Rk6Service/v0.1");
  EXPECT_EQ(rktest::Request(std::stoi(port), "OPTIONS", "/kivvet/x").status, 200);
  EXPECT_EQ(rktest::Request(std::stoi(port), "GET", "/kivvet/x").status, 400);

  // The notify endpoint prints what it gets and answers 200 "{}".
  const std::string marker = "notify host http://127.0.0.1:";
  const size_t at = host.Output().find(marker);
  ASSERT_NE(at, std::string::npos) << host.Output();
  const int notify_port = std::stoi(host.Output().substr(at + marker.size()));
  const rktest::HttpReply notified =
      rktest::Request(notify_port, "POST", "/?action=progress&caller=kivvet&count=3&type=1&value=%7B%22a%22%7D",
                      {{"username", "alice"}}, "{\"n\":1}");
  EXPECT_EQ(notified.status, 200);
  EXPECT_EQ(notified.body, "{}");
  EXPECT_TRUE(host.WaitFor("[notify] POST /?action=progress&caller=kivvet&count=3&type=1&value=%7B%22a%22%7D\n"
                           "         UserName: alice\n"
                           "         query: action=progress caller=kivvet count=3 type=1 value={\"a\"}\n"
                           "         body: {\"n\":1}\n"))
      << host.Output();

  host.Signal(GetParam());
  EXPECT_EQ(host.Wait(), 0) << host.Output();
  EXPECT_NE(host.Output().find("stopped\n"), std::string::npos) << host.Output();
  EXPECT_EQ(rktest::Request(std::stoi(port), "GET", "/", {}, {}).status, 0);  // nobody listens any more
}

INSTANTIATE_TEST_SUITE_P(Signals, RkHost, testing::Values(SIGINT, SIGTERM));

// The account and updater lines it prints answer through the stand-in of the
// browser's main library that ships beside the service library.
TEST_F(RkHost, ProxyLinesAnswerThroughTheStandIn) {
  const std::string port = std::to_string(rktest::FreeLoopbackPort());
  Host host({"--port", port, "--root", root_.string()});
  ASSERT_TRUE(host.WaitFor("Ctrl-C stops.")) << host.Output();
  EXPECT_NE(host.Output().find("/account/login\n"), std::string::npos) << host.Output();
  EXPECT_NE(host.Output().find("/updater/update\n"), std::string::npos) << host.Output();
  const rktest::HeaderList form = {{"UserName", "alice"}, {"Content-Type", "application/x-www-form-urlencoded"}};
  EXPECT_EQ(rktest::Request(std::stoi(port), "POST", "/account/login", form,
                            "account=alice%40example.com&password=p%2Bss")
                .body,
            R"({"op":"Login","args":["alice","alice@example.com","p+ss","",true,"en",true,false,false]})");
  EXPECT_EQ(rktest::Request(std::stoi(port), "POST", "/updater/update", form, "update_type=1&update_channel=true")
                .body,
            R"({"op":"Update","args":[1,"stable,beta"]})");
}

// The folder listing of a new user: the default notes of the locale, each
// non-empty folder followed by its notes, as the notes were authored.
std::vector<std::pair<std::string, std::vector<std::string>>> DefaultOutline(const std::string& lang) {
  const std::vector<rktest::DefaultNode> nodes = rktest::DefaultNodes(lang);
  std::vector<std::pair<std::string, std::vector<std::string>>> outline;
  for (const rktest::DefaultNode& folder : nodes) {
    if (!folder.folder()) continue;
    std::vector<std::pair<std::string, std::vector<std::string>>> notes;
    for (const rktest::DefaultNode& note : nodes) {
      if (!note.folder() && note.parent() == folder.uuid) notes.push_back({note.name, {folder.name}});
    }
    if (notes.empty()) continue;
    outline.push_back({folder.name, {}});
    outline.insert(outline.end(), notes.begin(), notes.end());
  }
  return outline;
}

std::vector<std::pair<std::string, std::vector<std::string>>> Outline(const std::string& listing) {
  std::vector<std::pair<std::string, std::vector<std::string>>> outline;
  const nlohmann::json list = nlohmann::json::parse(listing);
  for (const nlohmann::json& node : list.at("nodes")) {
    outline.emplace_back(node.at("fn").get<std::string>(), node.at("paths").get<std::vector<std::string>>());
  }
  return outline;
}

// The notes lines it prints work on a fresh root: a new user's default
// notes, a sync with its own peer, whose notifications it prints.
TEST_F(RkHost, NotesLinesSyncWithItsOwnPeer) {
  // The English default notes, whatever the machine's locale.
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");
  setenv("LANG", "en_US.UTF-8", 1);
  const std::string port = std::to_string(rktest::FreeLoopbackPort());
  Host host({"--port", port, "--root", root_.string()});
  ASSERT_TRUE(host.WaitFor("Ctrl-C stops.")) << host.Output();
  const std::string marker = "Sync with this program's own notes peer at ";
  const size_t at = host.Output().find(marker);
  ASSERT_NE(at, std::string::npos) << host.Output();
  const std::string peer = host.Output().substr(at + marker.size(), host.Output().find(' ', at + marker.size()) -
                                                                          at - marker.size());
  EXPECT_NE(host.Output().find("\"host\":\"" + peer + "\""), std::string::npos) << host.Output();

  const int p = std::stoi(port);
  const rktest::HeaderList alice = {{"UserName", "alice"}};
  EXPECT_EQ(rktest::Request(p, "GET", "/kivvet/hit", alice).status, 200);
  const rktest::HttpReply listing = rktest::Request(p, "GET", "/kivvet/allurlnotes?with_folder=1", alice);
  ASSERT_EQ(listing.status, 200) << listing.body;
  EXPECT_EQ(Outline(listing.body), DefaultOutline("en")) << listing.body;
  const std::string init = R"({"uid":"alice","did":"rkhost","key":"demo","app":"rkhost","host":")" + peer +
                           R"(","res_host":")" + peer + R"(","cver":"1.0","vip_level":0})";
  EXPECT_EQ(rktest::Request(p, "PUT", "/kivvet/sync/init", {{"UserName", "alice"}, {"Content-Type", "application/json"}},
                            init)
                .status,
            200);
  EXPECT_EQ(rktest::Request(p, "PUT", "/kivvet/sync/do_sync", alice).status, 200);
  EXPECT_TRUE(host.WaitFor("[notify] GET /?action=notify&caller=kivvet&type=sync&value=2\n")) << host.Output();
  EXPECT_EQ(rktest::Request(p, "GET", "/kivvet/sync/status", alice).body, R"({"status":0})");

  host.Signal(SIGTERM);
  EXPECT_EQ(host.Wait(), 0) << host.Output();
  // The peer went with it.
  EXPECT_EQ(rktest::Request(std::stoi(peer.substr(peer.rfind(':') + 1)), "GET", "/").status, 0);
}

size_t OpenDescriptors(pid_t pid) {
  std::error_code ec;
  size_t count = 0;
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end; !ec && it != end; it.increment(ec)) {
    ++count;
  }
  return count;
}

// User and system CPU time in clock ticks.
long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Fields after the command's closing parenthesis, from the state on.
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

// Any page that reaches the port can name any user: a flood of new names
// must leave the browser's process with descriptors, and idle afterwards.
TEST_F(RkHost, AFloodOfNewUsersIsRefusedPastTheBound) {
  constexpr rlim_t kOpenFiles = 1024;
  constexpr int kFlood = 2000;
  const std::string port = std::to_string(rktest::FreeLoopbackPort());
  Host host({"--port", port, "--root", root_.string()}, kOpenFiles);
  ASSERT_TRUE(host.WaitFor("Ctrl-C stops.")) << host.Output();
  EXPECT_NE(host.Output().find("at most 256 users with data and 1024 of the account and updater routes alone; a request "
                              "for one more is answered 503\n"),
            std::string::npos)
      << host.Output();
  const int p = std::stoi(port);
  const std::string cards = "/tesselfill/card/all?type=account";
  ASSERT_EQ(rktest::Request(p, "GET", cards, {{"UserName", "before"}}).status, 200);

  std::atomic<int> next{0}, served{0}, refused{0}, other{0};
  std::mutex most_mutex;
  size_t most_open = 0;
  std::vector<std::thread> clients;
  for (int c = 0; c < 8; ++c) {
    clients.emplace_back([&, c] {
      for (int i; (i = next++) < kFlood;) {
        const rktest::HttpReply reply = rktest::Request(p, "GET", cards, {{"UserName", "flood-" + std::to_string(i)}});
        if (reply.status == 200) {
          ++served;
        } else if (reply.status == 503 && reply.body == "{}") {
          ++refused;
        } else {
          ++other;
        }
        if (c == 0) {
          std::lock_guard<std::mutex> lock(most_mutex);
          most_open = std::max(most_open, OpenDescriptors(host.pid()));
        }
      }
    });
  }
  for (auto& client : clients) client.join();
  const size_t open_after = OpenDescriptors(host.pid());

  EXPECT_EQ(served, 255);  // the table holds 256 users, "before" among them
  EXPECT_EQ(refused, kFlood - 255);
  EXPECT_EQ(other, 0);
  EXPECT_LT(most_open, kOpenFiles);
  EXPECT_EQ(rktest::Request(p, "GET", cards, {{"UserName", "before"}}).status, 200);

  // Idle again: a second of its CPU time grows by no more than a tick or two.
  long ticks_per_second = 0;
  const bool idle = rktest::WaitUntil([&] {
    const long before = CpuTicks(host.pid());
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ticks_per_second = CpuTicks(host.pid()) - before;
    return ticks_per_second <= 2;
  }, std::chrono::seconds(60));
  EXPECT_TRUE(idle) << ticks_per_second << " ticks a second";
  std::cout << "flood of " << kFlood << " users: " << served << " served, " << refused << " refused; at most "
            << most_open << " descriptors open of " << kOpenFiles << ", " << open_after << " after; "
            << ticks_per_second << " CPU ticks a second once it ended\n";
  host.Signal(SIGTERM);
  EXPECT_EQ(host.Wait(), 0) << host.Output().substr(0, 2000);
}

TEST(RkHostOptions, BadOptionsExitTwoWithAReason) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"},        {"--port"},           {"--port", "abc"},          {"--port", "0"},
      {"--port=70000"},   {"--root", ""},       {"--notify-host", "ftp://x"}, {"--all-addresses=yes"},
      {"extra"},
  };
  for (const auto& args : cases) {
    Host host(args);
    EXPECT_EQ(host.Wait(), 2) << args[0];
    EXPECT_NE(host.Output().find("rkhost: "), std::string::npos) << host.Output();
    EXPECT_NE(host.Output().find("--help"), std::string::npos) << host.Output();
  }
  Host help({"--help"});
  EXPECT_EQ(help.Wait(), 0);
  for (const char* option : {"--port", "--root", "--all-addresses", "--notify-host"}) {
    EXPECT_NE(help.Output().find(option), std::string::npos) << option;
  }
}

TEST(RkHostOptions, TakenPortExitsOne) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(listen(fd, 1), 0);
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  const fs::path root = fs::path(testing::TempDir()) / ("rkhost_taken_" + std::to_string(getpid()));

  Host host({"--port", std::to_string(ntohs(addr.sin_port)), "--root", root.string()});
  EXPECT_EQ(host.Wait(), 1) << host.Output();
  EXPECT_NE(host.Output().find("cannot start the service on port"), std::string::npos) << host.Output();
  close(fd);
  fs::remove_all(root);
}

}  // namespace
