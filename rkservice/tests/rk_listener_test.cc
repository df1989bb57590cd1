// The HTTP listener's reading of requests, over raw sockets against a
// service: framing, bounds and time-outs, whatever bytes a local process
// sends. Every connection ends answered or closed, and the process lives on.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cpprest/http_listener.h>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "rk_handler_registry.h"
#include "rk_in_process_service.h"
#include "rk_logger.h"
#include "rk_rest_handler.h"
#include "rk_test_http.h"
#include "rk_test_log.h"
#include "rk_test_memory.h"
#include "rk_test_wait.h"
#include "rkservice.h"

namespace rkservice {
namespace {

namespace fs = std::filesystem;
using rktest::HttpReply;
using rktest::SlowClient;
using web::http::http_request;

std::atomic<int> g_routed{0};

// Echoes the body it was given, and counts every request that reached it.
class EchoHandler : public RkRestHandler {
 public:
  EchoHandler() { InitRoutes(); }
  void InitRoutes() override {
    post_routes_["/echo/body"] = [this](http_request& r) {
      ++g_routed;
      Reply(r, 200, "[" + ReadBody(r) + "]");
      return true;
    };
    get_routes_["/echo/hit"] = [this](http_request& r) {
      ++g_routed;
      Reply(r, 200, "hit");
      return true;
    };
  }
  void HandleGet(http_request request) override { RouteRequest(get_routes_, request); }
  void HandlePost(http_request request) override { RouteRequest(post_routes_, request); }
};

const std::string kChunkedHead =
    "POST /echo/body HTTP/1.1\r\nHost: x\r\nUserName: ann\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n";

std::string CountedHead(const std::string& length) {
  return "POST /echo/body HTTP/1.1\r\nHost: x\r\nUserName: ann\r\nContent-Type: text/plain\r\nContent-Length: " + length + "\r\n\r\n";
}

class Listener : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    RkAddTestHandlerKind(
        {"echo", "Echo", true, RkHandlerKind::Data::kUnderRoot, [](const std::string&, const fs::path&) {
           return new EchoHandler();
         }});
  }

  void SetUp() override {
    root_ = fs::path(testing::TempDir()) / ("rk_listener_" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    log_ = root_ / "test.log";
    ASSERT_TRUE(RkServiceManager::GetInstance()->StartLogger(log_.string(), kRkLogInfo));
    port_ = rktest::FreeLoopbackPort();
    ASSERT_TRUE(rktest::StartInProcessService("listener", port_, root_.string(), "http://127.0.0.1:9/notify"));
    g_routed = 0;
  }
  void TearDown() override {
    RkServiceManager::GetInstance()->RemoveAllService();
    fs::remove_all(root_);
  }

  // The service still answers on a fresh connection.
  void ExpectServing() {
    const HttpReply reply = rktest::Request(port_, "GET", "/echo/hit", {{"UserName", "ann"}});
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "hit");
  }

  std::string Log() { return rktest::FlushedLog(log_); }

  fs::path root_;
  fs::path log_;
  int port_ = 0;
};

// Each bad body is refused before any route sees it, and its connection is
// closed; good ones reach the route with exactly the bytes framed.
TEST_F(Listener, ChunkedBodiesAreFramedExactlyOrRefused) {
  const struct {
    const char* what;
    std::string body;
    int status;  // 400: refused, and the connection closed
    std::string echoed;
  } cases[] = {
      {"a negative size", "-1\r\nabc\r\n0\r\n\r\n", 400, ""},
      {"another negative size", "-2\r\nabc\r\n0\r\n\r\n", 400, ""},
      {"a negative size past the data", "-10\r\nabc\r\n0\r\n\r\n", 400, ""},
      {"no digits", "zz\r\nabc\r\n0\r\n\r\n", 400, ""},
      {"an empty size line", "\r\nabc\r\n0\r\n\r\n", 400, ""},
      {"a sign", "+3\r\nabc\r\n0\r\n\r\n", 400, ""},
      {"space first", " 3\r\nabc\r\n0\r\n\r\n", 400, ""},
      {"seventeen digits", "00000000000000003\r\nabc\r\n0\r\n\r\n", 400, ""},
      {"data not followed by CRLF", "3\r\nabcXY0\r\n\r\n", 400, ""},
      {"a bare LF after data", "3\r\nabc\n0\r\n\r\n", 400, ""},
      {"a control byte in an extension", "3;a\x01\r\nabc\r\n0\r\n\r\n", 400, ""},
      {"an extension", "22;ext=1\r\n" + std::string(0x22, 'e') + "\r\n0\r\n\r\n", 200, std::string(0x22, 'e')},
      {"an extension with no value", "1f;z\r\n" + std::string(0x1f, 'z') + "\r\n0\r\n\r\n", 200,
       std::string(0x1f, 'z')},
      {"sixteen digits and upper case", "000000000000000A\r\n0123456789\r\n0\r\n\r\n", 200, "0123456789"},
      {"several chunks", "2\r\nab\r\n1\r\nc\r\n0\r\n\r\n", 200, "abc"},
      {"trailers", "3\r\nabc\r\n0\r\nX-Sum: 1\r\nX-More: 2\r\n\r\n", 200, "abc"},
      {"an empty body", "0\r\n\r\n", 200, ""},
  };
  for (const auto& c : cases) {
    g_routed = 0;
    SlowClient client(port_);
    ASSERT_TRUE(client.Send(kChunkedHead + c.body));
    const HttpReply reply = client.ReceiveReply(30000);
    EXPECT_EQ(reply.status, c.status) << c.what;
    if (c.status == 200) {
      EXPECT_EQ(reply.body, "[" + c.echoed + "]") << c.what;
      // The connection serves its next request.
      ASSERT_TRUE(client.Send("GET /echo/hit HTTP/1.1\r\nHost: x\r\nUserName: ann\r\n\r\n")) << c.what;
      EXPECT_EQ(client.ReceiveReply(30000).body, "hit") << c.what;
    } else {
      EXPECT_EQ(reply.body, "{}") << c.what;
      EXPECT_EQ(g_routed, 0) << c.what;
      EXPECT_TRUE(client.ClosedByPeer()) << c.what;
    }
  }
  ExpectServing();
}

// The listener's own 400: these never reach the service.
TEST_F(Listener, BodyFramingHeadersMustBeUnambiguous) {
  const struct {
    const char* what;
    std::string head;
  } cases[] = {
      {"a negative length", CountedHead("-1")},
      {"a length with letters", CountedHead("12abc")},
      {"a hex length", CountedHead("0x10")},
      {"a signed length", CountedHead("+5")},
      {"two numbers", CountedHead("1 2")},
      {"a length past 64 bits", CountedHead("99999999999999999999999")},
      {"two lengths that differ",
       "POST /echo/body HTTP/1.1\r\nHost: x\r\nUserName: ann\r\nContent-Type: text/plain\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd"},
      {"a coding other than chunked last",
       "POST /echo/body HTTP/1.1\r\nHost: x\r\nUserName: ann\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked, gzip\r\n\r\n"},
      {"chunked and a length",
       "POST /echo/body HTTP/1.1\r\nHost: x\r\nUserName: ann\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n"
       "3\r\nabc\r\n0\r\n\r\n"},
  };
  for (const auto& c : cases) {
    SlowClient client(port_);
    ASSERT_TRUE(client.Send(c.head));
    EXPECT_EQ(client.ReceiveReply(30000).status, 400) << c.what;
    EXPECT_TRUE(client.ClosedByPeer()) << c.what;
  }
  EXPECT_EQ(g_routed, 0);
  // The same length twice is one length.
  SlowClient twice(port_);
  ASSERT_TRUE(twice.Send("POST /echo/body HTTP/1.1\r\nHost: x\r\nUserName: ann\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n"
                         "Content-Length: 3\r\nConnection: close\r\n\r\nabc"));
  EXPECT_EQ(twice.ReceiveReply(30000).body, "[abc]");
  ExpectServing();
}

// A body that did not arrive whole never reaches its route.
TEST_F(Listener, ACountedBodyThatBreaksOffIsNotRouted) {
  SlowClient client(port_);
  ASSERT_TRUE(client.Send(CountedHead("100") + "profile=bob"));
  client.ShutdownSend();
  const HttpReply reply = client.ReceiveReply(30000);
  EXPECT_TRUE(reply.status == 400 || reply.status == 0) << reply.status;
  if (reply.status == 400) {
    EXPECT_EQ(reply.body, "{}");
  }
  EXPECT_TRUE(client.ClosedByPeer());
  EXPECT_EQ(g_routed, 0);
  ExpectServing();
}

TEST_F(Listener, PipelinedRequestsAreAnsweredInOrder) {
  SlowClient client(port_);
  ASSERT_TRUE(client.Send(CountedHead("5") + "first" + kChunkedHead + "6\r\nsecond\r\n0\r\nX-T: 1\r\n\r\n" +
                          "GET /echo/hit HTTP/1.1\r\nHost: x\r\nUserName: ann\r\n\r\n" +
                          "POST /echo/body HTTP/1.1\r\nHost: x\r\nUserName: ann\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n"
                          "Connection: close\r\n\r\nthird"));
  const std::string replies = client.Receive();
  const size_t first = replies.find("[first]");
  const size_t second = replies.find("[second]");
  const size_t hit = replies.find("\r\n\r\nhit");
  const size_t third = replies.find("[third]");
  ASSERT_NE(first, std::string::npos) << replies;
  ASSERT_NE(second, std::string::npos) << replies;
  ASSERT_NE(hit, std::string::npos) << replies;
  ASSERT_NE(third, std::string::npos) << replies;
  EXPECT_LT(first, second);
  EXPECT_LT(second, hit);
  EXPECT_LT(hit, third);
}

// A head past 64 KiB is answered 431 and not read further: 48 MiB of header
// bytes cost the process nothing like their size.
TEST_F(Listener, AHeadPastItsBoundIsRefusedUnread) {
  // Within the bound, a long header is fine.
  SlowClient within(port_);
  ASSERT_TRUE(within.Send("GET /echo/hit HTTP/1.1\r\nHost: x\r\nUserName: ann\r\nX-Long: " +
                          std::string(60 * 1024, 'a') + "\r\nConnection: close\r\n\r\n"));
  EXPECT_EQ(within.ReceiveReply(30000).body, "hit");
  g_routed = 0;

  SlowClient client(port_);
  ASSERT_TRUE(client.Send("GET /echo/hit HTTP/1.1\r\nHost: x\r\nUserName: ann\r\nX-Long: "));
  const std::string piece(64 * 1024, 'b');
  const size_t before = rktest::ResidentBytes();
  size_t sent = 0;
  while (sent < (48u << 20) && !client.Readable() && client.Send(piece)) sent += piece.size();
  const HttpReply reply = client.ReceiveReply(30000);
  EXPECT_EQ(reply.status, 431);
  EXPECT_TRUE(client.ClosedByPeer());
  EXPECT_LT(sent, 48u << 20);
  const size_t grown = rktest::ResidentBytes() > before ? rktest::ResidentBytes() - before : 0;
  EXPECT_LT(grown, 8u << 20) << "grew by " << (grown >> 10) << " KiB";
  EXPECT_EQ(g_routed, 0);
  ExpectServing();
}

// Past the limit the service answers 413 at once: a counted body before any
// of it is sent, a chunked one as soon as a chunk's size passes it.
TEST_F(Listener, BodiesPastTheLimitAreAnsweredAtOnce) {
  for (const std::string& head : {CountedHead(std::to_string((64u << 20) + 1)),
                                  kChunkedHead + "10\r\n0123456789abcdef\r\n4000000\r\n"}) {
    SlowClient client(port_);
    ASSERT_TRUE(client.Send(head));
    const HttpReply reply = client.ReceiveReply(30000);
    EXPECT_EQ(reply.status, 413) << head.substr(0, 80);
    EXPECT_EQ(reply.body, "{}");
    EXPECT_TRUE(client.ClosedByPeer());
  }
  EXPECT_EQ(g_routed, 0);
  EXPECT_NE(Log().find("[warning] request body too large: over 67108864 bytes for /echo/body"), std::string::npos);
  // A body at the limit is still taken.
  const std::string body(64u << 20, 'y');
  const HttpReply at_limit = rktest::Request(port_, "POST", "/echo/body", {{"UserName", "ann"}, {"Content-Type", "text/plain"}}, body);
  EXPECT_EQ(at_limit.status, 200);
  EXPECT_EQ(at_limit.body.size(), body.size() + 2);
}

// The last listener of a port takes the port with it, while another service
// of the process goes on.
TEST_F(Listener, ARemovedServiceNoLongerListens) {
  const int other = rktest::FreeLoopbackPort();
  ASSERT_TRUE(rktest::StartInProcessService("other", other, root_.string(), "http://127.0.0.1:9/notify"));
  ASSERT_TRUE(rktest::LoopbackPortListening(port_));
  ASSERT_TRUE(RkServiceManager::GetInstance()->RemoveRkService("listener"));
  EXPECT_FALSE(rktest::LoopbackPortListening(port_));
  EXPECT_EQ(rktest::Request(other, "GET", "/echo/hit", {{"UserName", "ann"}}).body, "hit");
}

// Random changes to valid requests of both framings: whatever comes, every
// connection is answered or closed, and the service goes on.
TEST_F(Listener, MutatedRequestsNeverHurtTheListener) {
  const std::vector<std::string> seeds = {
      CountedHead("11") + "hello world" + "GET /echo/hit HTTP/1.1\r\nHost: x\r\nUserName: ann\r\n\r\n",
      kChunkedHead + "5;x=y\r\nhello\r\n6\r\n world\r\n0\r\nX-T: 1\r\n\r\n",
      kChunkedHead + "1\r\na\r\n1\r\nb\r\n0\r\n\r\n" + CountedHead("2") + "ok",
      "GET /echo/hit?q=%41 HTTP/1.1\r\nHost: x\r\nUserName: ann\r\nConnection: keep-alive\r\n\r\n",
  };
  const std::vector<std::string> tokens = {"-1", "ffffffffffffffff", "zz", "\r\n", "\r\n\r\n", ";", ":", "0\r\n\r\n",
                                           "Content-Length: 5\r\n", "Transfer-Encoding: chunked\r\n", "\x80", " "};
  const int kCases = getenv("RK_FUZZ_CASES") ? atoi(getenv("RK_FUZZ_CASES")) : 10000;
  constexpr int kWorkers = 8;
  std::atomic<int> next{0};
  std::atomic<int> unended{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      std::mt19937 random(12345u + static_cast<unsigned>(w));
      for (int i = next++; i < kCases; i = next++) {
        std::string bytes = seeds[static_cast<size_t>(i) % seeds.size()];
        const int changes = 1 + static_cast<int>(random() % 4);
        for (int k = 0; k < changes && !bytes.empty(); ++k) {
          const size_t at = random() % bytes.size();
          switch (random() % 5) {
            case 0:
              bytes[at] = static_cast<char>(random() % 256);
              break;
            case 1:
              bytes.insert(at, tokens[random() % tokens.size()]);
              break;
            case 2:
              bytes.erase(at, 1 + random() % 8);
              break;
            case 3:
              bytes.insert(at, bytes.substr(at, 1 + random() % 16));
              break;
            default:
              bytes.resize(at);
              break;
          }
        }
        SlowClient client(port_);
        client.Send(bytes);
        // The end of what the client sends: nothing may wait for more.
        client.ShutdownSend();
        if (!client.ClosedByPeer()) {
          ++unended;
          ADD_FAILURE() << "not ended: " << testing::PrintToString(bytes);
        }
      }
    });
  }
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(unended, 0);
  ExpectServing();
}

// The limits of a bare listener whose configured time-out is short: the
// service's own are 60 s idle and 30 s for a head or a silent body.
class ListenerTimeouts : public testing::Test {
 protected:
  void SetUp() override {
    port_ = rktest::FreeLoopbackPort();
    web::http::experimental::listener::http_listener_config config;
    config.set_timeout(std::chrono::seconds(1));
    listener_ = std::make_unique<web::http::experimental::listener::http_listener>(
        "http://127.0.0.1:" + std::to_string(port_), config);
    listener_->support([](http_request request) {
      request.content_ready().then([request](pplx::task<http_request> ready) mutable {
        try {
          ready.wait();
          request.reply(200, "ok");
        } catch (...) {
          request.reply(400);
        }
      });
    });
    listener_->open().wait();
  }
  void TearDown() override { listener_->close().wait(); }

  int port_ = 0;
  std::unique_ptr<web::http::experimental::listener::http_listener> listener_;
};

TEST_F(ListenerTimeouts, IdleStalledAndHalfSentConnectionsAreClosed) {
  const struct {
    const char* what;
    std::string sent;
  } cases[] = {
      {"nothing sent", ""},
      {"half a head", "GET / HTTP/1.1\r\nHost: x\r\n"},
      {"a body that stalls", "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\nabc"},
      {"a chunked body that stalls", "POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab"},
      {"idle after a request", "GET / HTTP/1.1\r\nHost: x\r\n\r\n"},
  };
  for (const auto& c : cases) {
    SlowClient client(port_);
    if (!c.sent.empty()) {
      ASSERT_TRUE(client.Send(c.sent));
    }
    EXPECT_TRUE(client.ClosedByPeer()) << c.what;
  }
  // A head that keeps coming, byte by byte, is closed too: the limit counts
  // from its first byte.
  SlowClient trickle(port_);
  bool closed = false;
  for (int i = 0; i < 100000 && !closed; ++i) {
    closed = !trickle.Send("x") || trickle.Readable();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(closed);
}

// Out of descriptors, the listener waits instead of spinning, and serves the
// waiting connection once descriptors are free.
TEST_F(Listener, AcceptWaitsWhileDescriptorsRunOut) {
  struct rlimit old_limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old_limit), 0);
  SlowClient probe(port_);  // a connection the listener has taken already
  ASSERT_TRUE(probe.Send("GET /echo/hit HTTP/1.1\r\nHost: x\r\nUserName: ann\r\n\r\n"));
  ASSERT_EQ(probe.ReceiveReply(30000).body, "hit");

  // A client socket made first, then every descriptor taken.
  const int client = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(client, 0);
  struct rlimit low = old_limit;
  low.rlim_cur = 512;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> taken;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) taken.push_back(fd);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  const std::string request = "GET /echo/hit HTTP/1.1\r\nHost: x\r\nUserName: ann\r\nConnection: close\r\n\r\n";
  ASSERT_EQ(::send(client, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));

  // A spinning accept loop would take a core while the descriptors are out;
  // waiting, it takes next to nothing.
  auto cpu = [] {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  };
  const double cpu_before = cpu();
  const auto wall_before = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const double cpu_used = cpu() - cpu_before;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();

  for (int fd : taken) ::close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old_limit), 0);
  EXPECT_LT(cpu_used, wall / 3) << "cpu " << cpu_used << " s in " << wall << " s";

  pollfd pfd{client, POLLIN, 0};
  ASSERT_GT(::poll(&pfd, 1, 30000), 0);
  char buffer[4096];
  const ssize_t n = ::recv(client, buffer, sizeof(buffer), 0);
  ::close(client);
  ASSERT_GT(n, 0);
  EXPECT_NE(std::string(buffer, static_cast<size_t>(n)).find("HTTP/1.1 200"), std::string::npos);
  ExpectServing();
}

}  // namespace
}  // namespace rkservice
