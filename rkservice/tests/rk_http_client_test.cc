// The outgoing HTTP client: what it sends and refuses, and its bounds.
#include "rk_http_client.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "rk_notify_test_server.h"

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
