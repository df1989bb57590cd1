// The outgoing HTTP client: what it sends and refuses, and its bounds.
#include "rk_http_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "rk_image_test_server.h"
#include "rk_notify_test_server.h"
#include "rk_test_wait.h"

namespace {

using rkservice::RkHttpClient;
using rkservice::RkHttpError;
using rkservice::RkHttpRequest;
using rkservice::RkHttpResponse;
using rktest::NotifyTestServer;

TEST(RkHttpClient, SendsHeadersInOrderAndReadsTheWholeAnswer) {
  NotifyTestServer server({201, "application/json", "{\"a\":1}"});
  RkHttpRequest request;
  request.method = "PUT";
  request.url = server.host() + "/p?q=1";
  request.headers = {{"Zeta", "1"}, {"Empty", ""}, {"Alpha", "2"}};
  request.body = "payload";
  RkHttpResponse response;
  RkHttpError error;
  ASSERT_TRUE(RkHttpClient().Perform(request, &response, &error)) << error.message;
  EXPECT_EQ(response.status, 201);
  EXPECT_EQ(response.body, "{\"a\":1}");
  ASSERT_FALSE(response.headers.empty());
  EXPECT_EQ(response.headers[0], (std::pair<std::string, std::string>("Content-Type", "application/json")));

  const auto got = server.Requests().at(0);
  EXPECT_EQ(got.request_line, "PUT /p?q=1 HTTP/1.1");
  std::vector<std::string> names;
  for (const auto& header : got.headers) names.push_back(header.first);
  EXPECT_EQ(names, (std::vector<std::string>{"Host", "Zeta", "Empty", "Alpha", "Content-Length"}));
  EXPECT_EQ(got.Header("Empty"), "");
  EXPECT_EQ(got.body, "payload");
}

TEST(RkHttpClient, RefusesWhatItMustNotSend) {
  NotifyTestServer server;
  const struct {
    const char* name;
    RkHttpRequest request;
  } cases[] = {
      {"file URL", {"GET", "file:///etc/hostname", {}, ""}},
      {"ftp URL", {"GET", "ftp://127.0.0.1:" + std::to_string(server.port()) + "/", {}, ""}},
      {"line break in a header value", {"GET", server.host(), {{"a", "1\r\nInjected: 1"}}, ""}},
      {"blank in a header name", {"GET", server.host(), {{"a b", "1"}}, ""}},
      {"line break in the URL", {"GET", server.host() + "/\r\nInjected: 1", {}, ""}},
      {"method with a blank", {"GET / HTTP/1.0\r\n", server.host(), {}, ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RkHttpError error;
    EXPECT_FALSE(RkHttpClient().Perform(c.request, nullptr, &error));
    EXPECT_NE(error.code, 0);
    EXPECT_FALSE(error.message.empty());
  }
  EXPECT_TRUE(server.Requests().empty());
}

TEST(RkHttpClient, FollowsNoRedirectAndUsesNoProxy) {
  NotifyTestServer server({302, "text/plain", "moved"});
  server.SetReply({302, "text/plain", "moved", {}, false, {{"Location", server.host() + "/elsewhere"}}});
  // A proxy named by the environment would refuse the connection.
  const std::string proxy = "http://127.0.0.1:" + std::to_string(NotifyTestServer::RefusingPort());
  setenv("http_proxy", proxy.c_str(), 1);
  setenv("HTTP_PROXY", proxy.c_str(), 1);
  setenv("all_proxy", proxy.c_str(), 1);
  RkHttpRequest request;
  request.url = server.host() + "/";
  RkHttpResponse response;
  RkHttpError error;
  ASSERT_TRUE(RkHttpClient().Perform(request, &response, &error)) << error.message;
  EXPECT_EQ(response.status, 302);
  EXPECT_EQ(server.Requests().size(), 1u);
}

TEST(RkHttpClient, AnAnswerOverTheBodyLimitFails) {
  NotifyTestServer server({200, "text/plain", std::string(5000, 'b')});
  RkHttpClient::Options options;
  options.max_body_bytes = 4096;
  RkHttpRequest request;
  request.url = server.host() + "/";
  RkHttpError error;
  EXPECT_FALSE(RkHttpClient(options).Perform(request, nullptr, &error));
  EXPECT_NE(error.message.find("4096"), std::string::npos) << error.message;
}

}  // namespace

namespace {

using rktest::ImageReply;
using rktest::ImageTestServer;

sockaddr_storage Address(const std::string& text) {
  sockaddr_storage storage = {};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
  } else if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
  } else {
    ADD_FAILURE() << "not an address: " << text;
  }
  return storage;
}

TEST(RkHttpClient, SpecialDestinationsByAddress) {
  const struct {
    const char* address;
    bool special;
  } cases[] = {
      {"169.254.169.254", true},      // link-local: cloud metadata
      {"169.254.0.1", true},
      {"0.0.0.0", true},              // unspecified
      {"0.1.2.3", true},
      {"224.0.0.1", true},            // multicast
      {"239.255.255.250", true},
      {"255.255.255.255", true},      // broadcast
      {"::", true},
      {"fe80::1", true},
      {"febf::1", true},
      {"ff02::1", true},
      {"::ffff:169.254.169.254", true},  // IPv4-mapped
      {"::ffff:0.0.0.0", true},
      {"::ffff:224.0.0.1", true},
      {"64:ff9b::a9fe:a9fe", true},   // NAT64 of 169.254.169.254
      {"127.0.0.1", false},           // loopback
      {"127.8.9.10", false},
      {"::1", false},
      {"::ffff:127.0.0.1", false},
      {"10.1.2.3", false},            // private
      {"172.16.0.1", false},
      {"192.168.1.1", false},
      {"fd00::1", false},
      {"::ffff:192.168.0.1", false},
      {"169.253.255.255", false},
      {"169.255.0.1", false},
      {"223.255.255.255", false},
      {"240.0.0.1", false},
      {"fec0::1", false},
      {"8.8.8.8", false},
      {"2001:db8::1", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    const sockaddr_storage address = Address(c.address);
    EXPECT_EQ(RkHttpClient::IsSpecialDestination(reinterpret_cast<const sockaddr*>(&address)), c.special);
  }
  sockaddr_storage unix_address = {};
  unix_address.ss_family = AF_UNIX;
  EXPECT_TRUE(RkHttpClient::IsSpecialDestination(reinterpret_cast<const sockaddr*>(&unix_address)));
}

// Linux connects 0.0.0.0 to this machine, so the server sees a request only
// when the client failed to refuse the address.
TEST(RkHttpClient, RefusesASpecialDestinationOnEveryHop) {
  ImageTestServer server;
  server.Set("/img", {200, "image/png", "png"});
  const std::string unspecified = "http://0.0.0.0:" + std::to_string(server.port()) + "/img";
  server.Set("/redirect", {302, "text/plain", "", {{"Location", unspecified}}});
  RkHttpRequest request;
  request.url = unspecified;
  RkHttpResponse response;
  RkHttpError error;
  // Without the filter the address does reach the server: the test means something.
  RkHttpClient::Options plain;
  plain.max_redirects = 10;
  ASSERT_TRUE(RkHttpClient(plain).Perform(request, &response, &error)) << error.message;
  ASSERT_EQ(server.Hits("/img"), 1u);

  RkHttpClient::Options guarded = plain;
  guarded.refuse_special_destinations = true;
  EXPECT_FALSE(RkHttpClient(guarded).Perform(request, &response, &error));
  EXPECT_NE(error.message.find("destination refused: 0.0.0.0"), std::string::npos) << error.message;
  request.url = server.Url("/redirect");
  EXPECT_FALSE(RkHttpClient(guarded).Perform(request, &response, &error));
  EXPECT_NE(error.message.find("destination refused"), std::string::npos) << error.message;
  EXPECT_EQ(server.Hits("/redirect"), 1u);
  EXPECT_EQ(server.Hits("/img"), 1u);

  request.url = server.Url("/img");
  ASSERT_TRUE(RkHttpClient(guarded).Perform(request, &response, &error)) << error.message;
  EXPECT_EQ(response.body, "png");
}

TEST(RkHttpClient, FollowsAtMostTheAllowedRedirects) {
  ImageTestServer server;
  for (int i = 0; i < 11; ++i) {
    server.Set("/r" + std::to_string(i), {302, "text/plain", "moved", {{"Location", "/r" + std::to_string(i + 1)}}});
  }
  server.Set("/r11", {200, "image/png", "end"});
  RkHttpClient::Options options;
  options.max_redirects = 10;
  RkHttpRequest request;
  request.headers = {{"Accept", "image/*"}};
  RkHttpResponse response;
  RkHttpError error;

  request.url = server.Url("/r1");  // ten redirects to the end
  ASSERT_TRUE(RkHttpClient(options).Perform(request, &response, &error)) << error.message;
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "end");
  EXPECT_EQ(server.Hits("/r11"), 1u);
  EXPECT_EQ(server.Requests().back().Header("Accept"), "image/*");

  request.url = server.Url("/r0");  // eleven
  EXPECT_FALSE(RkHttpClient(options).Perform(request, &response, &error));
  EXPECT_EQ(error.message, "more than 10 redirects");
  EXPECT_EQ(server.Hits("/r10"), 2u);
  EXPECT_EQ(server.Hits("/r11"), 1u);

  // A POST answered 303 goes on as a GET without its body.
  server.Set("/post", {303, "text/plain", "", {{"Location", "/r11"}}});
  request.method = "POST";
  request.body = "data";
  request.url = server.Url("/post");
  ASSERT_TRUE(RkHttpClient(options).Perform(request, &response, &error)) << error.message;
  EXPECT_EQ(server.Requests().back().method, "GET");
  EXPECT_EQ(server.Requests().back().Header("Content-Length"), "");
}

TEST(RkHttpClient, RedirectsOnlyToHttpAndNeverDownFromHttps) {
  const struct {
    const char* from;
    const char* to;
    bool allowed;
  } cases[] = {
      {"http://a.example/", "http://b.example/x", true},
      {"http://a.example/", "https://b.example/x", true},
      {"https://a.example/", "https://b.example/x", true},
      {"HTTPS://a.example/", "HTTPS://b.example/x", true},
      {"https://a.example/", "http://b.example/x", false},
      {"https://a.example/", "HTTP://b.example/x", false},
      {"http://a.example/", "ftp://b.example/x", false},
      {"http://a.example/", "file:///etc/passwd", false},
      {"http://a.example/", "gopher://b.example/", false},
      {"http://a.example/", "not a url", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.from) + " -> " + c.to);
    EXPECT_EQ(RkHttpClient::MayRedirect(c.from, c.to), c.allowed);
  }
  ImageTestServer server;
  server.Set("/ftp", {302, "text/plain", "", {{"Location", "ftp://127.0.0.1:1/x"}}});
  RkHttpClient::Options options;
  options.max_redirects = 10;
  RkHttpRequest request;
  request.url = server.Url("/ftp");
  RkHttpError error;
  EXPECT_FALSE(RkHttpClient(options).Perform(request, nullptr, &error));
  EXPECT_EQ(error.message, "redirect refused: ftp://127.0.0.1:1/x");
}

}  // namespace

namespace {

using rkservice::RkHttpMultiClient;
using rktest::ImageReply;
using rktest::ImageTestServer;

struct Outcome {
  bool answered = false;
  RkHttpResponse response;
  RkHttpError error;
};

// One request on its own, through the blocking client or a multi client.
Outcome RunOne(bool multi, const RkHttpClient::Options& options, const RkHttpRequest& request) {
  Outcome outcome;
  if (!multi) {
    outcome.answered = RkHttpClient(options).Perform(request, &outcome.response, &outcome.error);
    return outcome;
  }
  RkHttpMultiClient client(options, 4);
  int reports = 0;
  const bool started = client.Start(
      request,
      [&](bool answered, const RkHttpResponse& response, const RkHttpError& error) {
        ++reports;
        outcome = {answered, response, error};
      },
      &outcome.error);
  while (client.open() > 0) client.Step(std::chrono::seconds(1));
  EXPECT_EQ(reports, started ? 1 : 0);
  return outcome;
}

// The multi client runs each request by the blocking client's own rules.
TEST(RkHttpMultiClient, AppliesEveryRuleOfTheBlockingClient) {
  ImageTestServer server;
  for (int i = 0; i < 11; ++i) {
    server.Set("/r" + std::to_string(i), {302, "text/plain", "moved", {{"Location", "/r" + std::to_string(i + 1)}}});
  }
  server.Set("/r11", {200, "image/png", "end"});
  server.Set("/big", {200, "image/png", std::string(5000, 'b')});
  server.Set("/ftp", {302, "text/plain", "", {{"Location", "ftp://127.0.0.1:1/x"}}});
  const std::string unspecified = "http://0.0.0.0:" + std::to_string(server.port()) + "/r11";
  server.Set("/to-unspecified", {302, "text/plain", "", {{"Location", unspecified}}});
  server.Set("/post", {303, "text/plain", "", {{"Location", "/r11"}}});
  server.Set("/stall", {200, "image/png", "", {}, {}, ImageReply::Mode::kStall});

  RkHttpClient::Options options;
  options.max_redirects = 10;
  options.max_body_bytes = 4096;
  options.refuse_special_destinations = true;
  RkHttpClient::Options quick = options;
  quick.total_timeout = std::chrono::milliseconds(300);
  const struct {
    const char* name;
    RkHttpRequest request;
    bool answered;
    int status;
    std::string text;  // the body when answered, else the start of the error
    const RkHttpClient::Options* options;
  } cases[] = {
      {"ten redirects", {"GET", server.Url("/r1"), {}, ""}, true, 200, "end", &options},
      {"eleven redirects", {"GET", server.Url("/r0"), {}, ""}, false, 0, "more than 10 redirects", &options},
      {"not found", {"GET", server.Url("/nothing"), {}, ""}, true, 404, "not found", &options},
      {"body over the cap", {"GET", server.Url("/big"), {}, ""}, false, 0, "answer body over 4096 bytes", &options},
      {"redirect to ftp", {"GET", server.Url("/ftp"), {}, ""}, false, 0, "redirect refused: ftp://127.0.0.1:1/x",
       &options},
      {"special destination", {"GET", unspecified, {}, ""}, false, 0, "destination refused: 0.0.0.0", &options},
      {"redirect to one", {"GET", server.Url("/to-unspecified"), {}, ""}, false, 0, "destination refused: 0.0.0.0",
       &options},
      {"POST answered 303", {"POST", server.Url("/post"), {}, "data"}, true, 200, "end", &options},
      {"invalid header", {"GET", server.Url("/r11"), {{"a", "1\r\nInjected: 1"}}, ""}, false, 0, "invalid header a",
       &options},
      {"time-out", {"GET", server.Url("/stall"), {}, ""}, false, 0, "", &quick},
  };
  for (const auto& c : cases) {
    for (const bool multi : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (multi ? ", multi" : ", blocking"));
      const size_t seen = server.Requests().size();
      const Outcome outcome = RunOne(multi, *c.options, c.request);
      EXPECT_EQ(outcome.answered, c.answered) << outcome.error.message;
      if (c.answered) {
        EXPECT_EQ(outcome.response.status, c.status);
        EXPECT_EQ(outcome.response.body, c.text);
      } else {
        EXPECT_EQ(outcome.error.message.rfind(c.text, 0), 0u) << outcome.error.message;
      }
      const std::vector<rktest::ImageRequest> requests = server.Requests();
      for (size_t i = seen; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].Header("Host").rfind("127.0.0.1:", 0), 0u) << "no request to 0.0.0.0";
        EXPECT_EQ(requests[i].Header("Expect"), "");
        EXPECT_EQ(requests[i].Header("Accept"), "");
      }
      if (c.request.method == "POST") {
        EXPECT_EQ(requests.back().method, "GET");
        EXPECT_EQ(requests.back().Header("Content-Length"), "");
      }
      if (c.options == &quick) {
        EXPECT_EQ(outcome.error.code, 28);  // CURLE_OPERATION_TIMEDOUT
      }
    }
  }
  EXPECT_EQ(server.Hits("/r11"), 4u);  // the ten redirects and the 303, both ways
}

// Bodies count against a budget only when the options name one, on both
// clients alike: a body that would pass what others left of it fails, a
// redirect's body goes back at the next hop, and every count goes back once
// the transfer is over.
TEST(RkBodyBudget, BoundsTheBodiesOfTheTransfersThatShareIt) {
  ImageTestServer server;
  server.Set("/fits", {200, "image/png", std::string(1000, 'f')});
  server.Set("/over", {200, "image/png", std::string(1001, 'o')});
  server.Set("/moved", {302, "text/plain", std::string(600, 'm'), {{"Location", "/landed"}}});
  server.Set("/landed", {200, "image/png", std::string(600, 'l')});
  rkservice::RkBodyBudget budget(1000);
  RkHttpClient::Options options;
  options.max_redirects = 10;
  options.body_budget = &budget;
  RkHttpClient::Options unbounded = options;
  unbounded.body_budget = nullptr;
  const struct {
    const char* path;
    size_t held_by_others;
    const RkHttpClient::Options* options;
    bool answered;
    size_t body_bytes;
  } cases[] = {
      {"/fits", 0, &options, true, 1000},
      {"/over", 0, &options, false, 0},
      {"/moved", 0, &options, true, 600},
      {"/landed", 500, &options, false, 0},
      {"/over", 0, &unbounded, true, 1001},
  };
  for (const auto& c : cases) {
    for (const bool multi : {false, true}) {
      SCOPED_TRACE(std::string(c.path) + " past " + std::to_string(c.held_by_others) +
                   (c.options == &unbounded ? ", no budget" : "") + (multi ? ", multi" : ", blocking"));
      ASSERT_TRUE(budget.Take(c.held_by_others));
      RkHttpRequest request;
      request.url = server.Url(c.path);
      const Outcome outcome = RunOne(multi, *c.options, request);
      EXPECT_EQ(outcome.answered, c.answered) << outcome.error.message;
      if (c.answered) {
        EXPECT_EQ(outcome.response.status, 200);
        EXPECT_EQ(outcome.response.body.size(), c.body_bytes);
      } else {
        EXPECT_EQ(outcome.error.message, "download bodies over 1000 bytes in flight in the process");
      }
      EXPECT_EQ(budget.used(), c.held_by_others);
      budget.Give(c.held_by_others);
    }
  }
}

// One thread moves every transfer; each reports as it ends, not when all do.
TEST(RkHttpMultiClient, ReportsEachTransferAsItEnds) {
  ImageTestServer server;
  ImageReply held{200, "image/png", "held"};
  held.mode = ImageReply::Mode::kHold;
  server.Set("/held", held);
  server.Set("/quick", {200, "image/png", "quick"});
  RkHttpMultiClient client(RkHttpClient::Options(), 4);
  std::vector<std::string> reports;
  auto report = [&reports](bool answered, const RkHttpResponse& response, const RkHttpError& error) {
    reports.push_back(answered ? response.body : error.message);
  };
  RkHttpError error;
  RkHttpRequest request;
  request.url = server.Url("/held");
  ASSERT_TRUE(client.Start(request, report, &error)) << error.message;
  request.url = server.Url("/quick");
  ASSERT_TRUE(client.Start(request, report, &error)) << error.message;
  EXPECT_EQ(client.open(), 2u);
  // Moved on until the quick one reported and the held one reached the server.
  const auto bound = std::chrono::steady_clock::now() + rktest::kHangBound;
  while ((reports.empty() || server.Hits("/held") == 0) && std::chrono::steady_clock::now() < bound) {
    client.Step(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(reports, std::vector<std::string>{"quick"});
  EXPECT_EQ(client.open(), 1u);
  EXPECT_EQ(server.Hits("/held"), 1u);
  server.Release();
  while (client.open() > 0) client.Step(std::chrono::seconds(1));
  EXPECT_EQ(reports, (std::vector<std::string>{"quick", "held"}));
}

// What lets a save that waits for free slots hear that some came free.
TEST(RkHttpMultiClient, WakeEndsAWaitFromAnotherThread) {
  RkHttpMultiClient client(RkHttpClient::Options(), 4);
  ASSERT_TRUE(client.ok());
  std::atomic<bool> returned{false};
  std::thread stepper([&] {
    client.Step(std::chrono::seconds(60));
    returned = true;
  });
  // A wake that comes before the wait is kept for it.
  client.Wake();
  EXPECT_TRUE(rktest::WaitUntil([&] { return returned.load(); }));
  stepper.join();
}

}  // namespace
