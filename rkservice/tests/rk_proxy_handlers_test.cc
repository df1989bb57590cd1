// The account and updater proxies through real HTTP on loopback, answering
// through the stand-in of the browser's main library beside the test.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

#include "halvex/rk_halvex_interface.h"
#include "halvex/rk_halvex_test_controls.h"
#include "rk_in_process_service.h"
#include "rk_logger.h"
#include "rk_test_http.h"
#include "rk_test_log.h"
#include "rkservice.h"

namespace rkservice {
namespace {

namespace fs = std::filesystem;
namespace tc = rkhalvex::test_controls;
using rktest::HeaderList;
using rktest::HttpReply;

const char kForm[] = "application/x-www-form-urlencoded";
const char kReplacement[] = "\xEF\xBF\xBD";

// The counters of the very library the service loaded: same path, same copy.
std::pair<int32_t, int32_t> Counters(const char* name) {
  void* module = dlopen(RK_OUTPUT_DIR "/libhalvex.so", RTLD_NOW | RTLD_NOLOAD);
  if (module == nullptr) return {0, 0};  // not loaded yet: nothing acquired
  auto counters = reinterpret_cast<tc::RkHalvexCountersFn>(dlsym(module, tc::kCountersName));
  int32_t acquired = -1, released = -1;
  if (counters == nullptr || !counters(name, &acquired, &released)) ADD_FAILURE() << "no counters";
  dlclose(module);
  return {acquired, released};
}

class Proxies : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::path(testing::TempDir()) / ("rk_proxies_" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    port_ = rktest::FreeLoopbackPort();
  }
  void TearDown() override {
    RkServiceManager::GetInstance()->RemoveAllService();
    fs::remove_all(root_);
  }

  void StartService(bool file_log = true) {
    if (file_log) {
      ASSERT_TRUE(RkServiceManager::GetInstance()->StartLogger((root_ / "test.log").string(), kRkLogInfo));
    }
    ASSERT_TRUE(rktest::StartInProcessService("proxies", port_, root_.string(), "http://127.0.0.1:9/notify"));
  }

  HttpReply Post(const std::string& path, const std::string& body, HeaderList headers = {}) {
    headers.emplace_back("Content-Type", kForm);
    return rktest::Request(port_, "POST", path, headers, body);
  }

  std::string Log() { return rktest::FlushedLog(root_ / "test.log"); }

  fs::path root_;
  int port_ = 0;
};

struct Case {
  const char* what;
  std::string path;
  std::string body;
  HeaderList headers;
  int status;
  std::string reply;
};

void ExpectCases(const std::vector<Case>& cases, const std::function<HttpReply(const Case&)>& send) {
  for (const Case& c : cases) {
    const HttpReply reply = send(c);
    EXPECT_EQ(reply.status, c.status) << c.what;
    EXPECT_EQ(reply.body, c.reply) << c.what;
    EXPECT_EQ(reply.Header("content-type"), "text/plain; charset=utf-8") << c.what;
  }
}

const HeaderList kAnn = {{"UserName", "ann"}};

TEST_F(Proxies, AccountRoutesDecodeTheirFieldsAndCallInTableOrder) {
  StartService();
  const std::vector<Case> cases = {
      {"encoded plus stays, plain plus is a space", "/account/check", "account=a%2Bb+c", kAnn, 200,
       R"({"op":"Check","args":["a+b c"]})"},
      {"required field missing", "/account/check", "", kAnn, 400, "{}"},
      {"required field under another name", "/account/check", "Account=x", kAnn, 400, "{}"},
      {"login defaults, profile from the header", "/account/login", "account=x", kAnn, 200,
       R"({"op":"Login","args":["ann","x","","",true,"en",true,false,false]})"},
      {"login without a header: empty profile", "/account/login", "account=x", {}, 200,
       R"({"op":"Login","args":["","x","","",true,"en",true,false,false]})"},
      {"login, every field", "/account/login",
       "account=a+b%21&password=p%2Bw+d&country=c+n%41&auto_login=TRUE&login_service=e+n%41"
       "&remember_password=false&import_guest_data=true&delete_profile=true&profile=bo%62",
       kAnn, 200, R"({"op":"Login","args":["bo%62","a b!","p+w d","c n%41",false,"e+n%41",false,true,true]})"},
      {"login without account", "/account/login", "password=x", kAnn, 400, "{}"},
      {"logout with no body at all", "/account/logout", "", kAnn, 200,
       R"({"op":"Logout","args":["ann",null,false]})"},
      {"logout with account", "/account/logout", "account=a%40b+c&delete_profile=true", kAnn, 200,
       R"({"op":"Logout","args":["ann","a@b c",true]})"},
      {"mobile code: the whole body is decoded, then split", "/account/vcode/mobile",
       "action=a+b&country=%38%36&mobile=1%26x%3D2", kAnn, 200,
       R"({"op":"SendMobileCode","args":["a+b","86","1"]})"},
      {"mobile code without mobile", "/account/vcode/mobile", "action=a&country=86", kAnn, 400, "{}"},
      {"email code", "/account/vcode/email", "action=a+b%41&email=x+y%40z", kAnn, 200,
       R"({"op":"SendEmailCode","args":["a+b%41","x y@z"]})"},
      {"email code without action", "/account/vcode/email", "email=x", kAnn, 400, "{}"},
      {"verify email", "/account/vcode/verifyemail", "vcode=1+2%33&email=e%40x", kAnn, 200,
       R"({"op":"VerifyEmailCode","args":["e@x","1+2%33"]})"},
      {"verify mobile: country first", "/account/vcode/verifymobile", "mobile=1&vcode=2+&country=3%34", kAnn, 200,
       R"({"op":"VerifyMobileCode","args":["34","1","2+"]})"},
      {"verify mobile without vcode", "/account/vcode/verifymobile", "mobile=1&country=3", kAnn, 400, "{}"},
      {"update profile", "/account/update/profile", "account=a+%2B", kAnn, 200,
       R"({"op":"UpdateProfile","args":["a +"]})"},
      {"get profile from the header", "/account/get/profile", "", kAnn, 200,
       R"({"op":"GetProfile","args":["ann"]})"},
      {"get profile from the body, decoded whole", "/account/get/profile", "profile=b%2Bc+d", kAnn, 200,
       R"({"op":"GetProfile","args":["b+c+d"]})"},
      {"register with defaults", "/account/register", "account_type=mail&password=p+w&account=a%2B", kAnn, 200,
       R"({"op":"Register","args":["mail","a+","p w","",""]})"},
      {"register, every field", "/account/register",
       "account_type=t+1&password=p&account=a&vcode=1+2&country=c%41", kAnn, 200,
       R"({"op":"Register","args":["t+1","a","p","c%41","1+2"]})"},
      {"register without password", "/account/register", "account_type=t&account=a", kAnn, 400, "{}"},
      {"reset password", "/account/rest/password", "account_type=t&password=p%2B+&vcode=v+&account=a+b", kAnn,
       200, R"({"op":"ResetPassword","args":["t","a b","p+ ","","v+"]})"},
      {"reset password without vcode", "/account/rest/password", "account_type=t&password=p&account=a", kAnn, 400,
       "{}"},
      {"the path as the browser spells it, not the word", "/account/reset/password",
       "account_type=t&password=p&vcode=v&account=a", kAnn, 404, "{}"},
      {"device records: numbers as atoi reads them", "/account/device/record/get", "begin=12abc&end=-3", kAnn, 200,
       R"({"op":"GetDeviceRecord","args":["ann",12,-3]})"},
      {"device records: defaults", "/account/device/record/get", "", kAnn, 200,
       R"({"op":"GetDeviceRecord","args":["ann",0,0]})"},
      {"device records: white space, sign, no digits", "/account/device/record/get", "begin=%20%09+7&end=x1",
       kAnn, 200, R"({"op":"GetDeviceRecord","args":["ann",7,0]})"},
      {"device records: saturated at the 32-bit ends", "/account/device/record/get",
       "begin=99999999999999999999&end=-2147483649", kAnn, 200,
       R"({"op":"GetDeviceRecord","args":["ann",2147483647,-2147483648]})"},
      {"device records: the 32-bit ends themselves", "/account/device/record/get",
       "begin=2147483647&end=-2147483648&profile=p", kAnn, 200,
       R"({"op":"GetDeviceRecord","args":["p",2147483647,-2147483648]})"},
      {"set device record", "/account/device/record/set", "profile=q", kAnn, 200,
       R"({"op":"SetDeviceRecord","args":["q"]})"},
      {"misc info", "/account/misc/info/get", "", kAnn, 200, R"({"op":"GetMiscInfo","args":["ann"]})"},
      {"misc info set: only true is true", "/account/misc/info/set", "pwdrevalid=true", kAnn, 200,
       R"({"op":"SetMiscInfo","args":["ann",true]})"},
      {"misc info set: 1 is false", "/account/misc/info/set", "pwdrevalid=1", kAnn, 200,
       R"({"op":"SetMiscInfo","args":["ann",false]})"},
      {"list ignores its body", "/account/list", "a=%zz", kAnn, 200, R"({"op":"ListAccounts","args":[]})"},
      {"an error code still answers 200 with the text", "/account/check", "account=halvex-error", kAnn, 200,
       R"({"op":"Check","error":-1})"},
      {"no result: empty body", "/account/update/profile", "account=halvex-no-result", kAnn, 200, ""},
      {"bytes that are no UTF-8 go back as U+FFFD", "/account/check", "account=%FFa%C3", kAnn, 200,
       std::string(R"({"op":"Check","args":[")") + kReplacement + "a" + kReplacement + "\"]}"},
      {"first segment only", "/account", "account=x", kAnn, 404, "{}"},
      {"segment after a route", "/account/check/x", "account=x", kAnn, 404, "{}"},
      {"unknown route", "/account/nothing", "", kAnn, 404, "{}"},
  };
  ExpectCases(cases, [this](const Case& c) { return Post(c.path, c.body, c.headers); });

  EXPECT_EQ(rktest::Request(port_, "OPTIONS", "/account/anything").status, 200);
  EXPECT_EQ(rktest::Request(port_, "OPTIONS", "/account/anything").body, "{}");
  EXPECT_EQ(rktest::Request(port_, "GET", "/account/check", kAnn).status, 501);
  EXPECT_EQ(rktest::Request(port_, "PUT", "/account/check", kAnn).status, 501);
  // Without a content type the body reads as empty.
  EXPECT_EQ(rktest::Request(port_, "POST", "/account/check", kAnn, "account=x").status, 400);
  // A body that is not text cannot be read: a bad request.
  const HttpReply binary = rktest::Request(port_, "POST", "/account/check",
                                           {{"UserName", "ann"}, {"Content-Type", "application/octet-stream"}}, "x");
  EXPECT_EQ(binary.status, 400);
  EXPECT_EQ(binary.body, "{}");
  EXPECT_TRUE(binary.Has("server"));
}

TEST_F(Proxies, AccountRefusesValuesItCannotPassOnAndLogsOnlyTheFieldName) {
  StartService();
  const std::vector<Case> cases = {
      {"malformed escape", "/account/check", "account=secret%2", kAnn, 400, "{}"},
      {"escape that is no hex", "/account/login", "account=a&password=secret%G1", kAnn, 400, "{}"},
      {"escape in a whole-body route", "/account/vcode/mobile", "action=a&country=1&mobile=secret%zz", kAnn, 400,
       "{}"},
      {"NUL after decoding", "/account/check", "account=victim%00secret", kAnn, 400, "{}"},
      {"NUL sent as it is", "/account/login", std::string("account=a&country=secret\0x", 26), kAnn, 400, "{}"},
      {"NUL in a whole-body route", "/account/get/profile", "profile=a%00secret", kAnn, 400, "{}"},
      {"an escape in a raw field stays text", "/account/vcode/email", "action=a%00secret&email=e", kAnn, 200,
       R"({"op":"SendEmailCode","args":["a%00secret","e"]})"},
  };
  ExpectCases(cases, [this](const Case& c) { return Post(c.path, c.body, c.headers); });

  const std::string log = Log();
  EXPECT_NE(log.find("[error] malformed percent-escape in field account of /account/check"), std::string::npos)
      << log;
  EXPECT_NE(log.find("[error] malformed percent-escape in field password of /account/login"), std::string::npos);
  EXPECT_NE(log.find("[error] malformed percent-escape in field body of /account/vcode/mobile"), std::string::npos);
  EXPECT_NE(log.find("[error] NUL after decoding in field account of /account/check"), std::string::npos);
  EXPECT_NE(log.find("[error] NUL after decoding in field country of /account/login"), std::string::npos);
  EXPECT_NE(log.find("[error] NUL after decoding in field profile of /account/get/profile"), std::string::npos);
  EXPECT_EQ(log.find("secret"), std::string::npos) << log;
}

// Standard output of the whole process, captured through its descriptor.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    file_ = std::tmpfile();
    dup2(fileno(file_), STDOUT_FILENO);
  }
  ~StdoutCapture() { Finish(); }
  std::string Finish() {
    if (file_ == nullptr) return text_;
    std::cout.flush();
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    std::rewind(file_);
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), file_)) > 0;) text_.append(buffer, n);
    std::fclose(file_);
    file_ = nullptr;
    return text_;
  }

 private:
  int saved_ = -1;
  std::FILE* file_ = nullptr;
  std::string text_;
};

TEST_F(Proxies, StandardOutputShowsMethodAndPathOnly) {
  StdoutCapture capture;
  StartService(false);  // log lines go to standard output too
  EXPECT_EQ(Post("/account/login", "account=ann%40x&password=hunter2-pw&country=86", kAnn).status, 200);
  EXPECT_EQ(Post("/account/vcode/verifyemail", "email=ann%40x&vcode=775533", kAnn).status, 200);
  EXPECT_EQ(Post("/updater/update", "update_type=1").status, 200);
  const std::string out = capture.Finish();
  EXPECT_NE(out.find("POST /account/login\n"), std::string::npos) << out;
  EXPECT_NE(out.find("POST /account/vcode/verifyemail\n"), std::string::npos) << out;
  EXPECT_NE(out.find("POST /updater/update\n"), std::string::npos) << out;
  for (const char* secret : {"hunter2", "775533", "ann%40x", "ann@x"}) {
    EXPECT_EQ(out.find(secret), std::string::npos) << secret << " in:\n" << out;
  }
}

TEST_F(Proxies, EachHandlerAcquiresOnceAndReleasesOnceWhenTheServiceGoes) {
  StartService();
  const auto account_before = Counters(rkhalvex::kRkAccountServiceName);
  const auto updater_before = Counters(rkhalvex::kRkUpdaterServiceName);
  for (int round = 0; round < 2; ++round) {
    for (const char* user : {"ann", "bob"}) {
      EXPECT_EQ(Post("/account/list", "", {{"UserName", user}}).status, 200);
      EXPECT_EQ(Post("/updater/update", "", {{"UserName", user}}).status, 200);
    }
  }
  EXPECT_EQ(Post("/account/list", "").status, 200);  // the user "Anonymity"
  EXPECT_EQ(Counters(rkhalvex::kRkAccountServiceName),
            std::make_pair(account_before.first + 3, account_before.second));
  EXPECT_EQ(Counters(rkhalvex::kRkUpdaterServiceName),
            std::make_pair(updater_before.first + 2, updater_before.second));

  ASSERT_TRUE(RkServiceManager::GetInstance()->RemoveRkService("proxies"));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (Counters(rkhalvex::kRkAccountServiceName).second < account_before.second + 3 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(Counters(rkhalvex::kRkAccountServiceName),
            std::make_pair(account_before.first + 3, account_before.second + 3));
  EXPECT_EQ(Counters(rkhalvex::kRkUpdaterServiceName),
            std::make_pair(updater_before.first + 2, updater_before.second + 2));
  EXPECT_EQ(Log().find("can not load library"), std::string::npos);
}

TEST_F(Proxies, UpdaterPassesTypeAndChannelsUndecoded) {
  StartService();
  const std::string bad = std::string(R"({"op":"Update","bad":")") + kReplacement + kReplacement + "\"}";
  const std::vector<Case> cases = {
      {"type and beta", "/updater/update", "update_type=2&update_channel=true", {}, 200,
       R"({"op":"Update","args":[2,"stable,beta"]})"},
      {"only true asks for beta", "/updater/update", "update_channel=True", {}, 200,
       R"({"op":"Update","args":[0,"stable"]})"},
      {"nothing is decoded", "/updater/update", "update_type=%32&update_channel=tru%65", {}, 200,
       R"({"op":"Update","args":[0,"stable"]})"},
      {"no digits", "/updater/update", "update_type=abc", {}, 200, R"({"op":"Update","args":[0,"stable"]})"},
      {"leading digits", "/updater/update", "update_type=7x", {}, 200, R"({"op":"Update","args":[7,"stable"]})"},
      {"saturated", "/updater/update", "update_type=-99999999999", {}, 200,
       R"({"op":"Update","args":[-2147483648,"stable"]})"},
      {"empty body", "/updater/update", "", {}, 200, R"({"op":"Update","args":[0,"stable"]})"},
      {"no result", "/updater/update", "update_type=9001", {}, 200, ""},
      {"error code", "/updater/update", "update_type=9002", {}, 200, R"({"op":"Update","error":-1})"},
      {"invalid UTF-8", "/updater/update", "update_type=9003", {}, 200, bad},
      {"two results: the second wins", "/updater/update", "update_type=9004&update_channel=true", {}, 200,
       R"({"op":"Update","args":[9004,"stable,beta"]})"},
      {"first segment only", "/updater", "", {}, 404, "{}"},
      {"segment after the route", "/updater/update/x", "", {}, 404, "{}"},
  };
  static_assert(tc::kUpdateNoResult == 9001 && tc::kUpdateErrorCode == 9002 && tc::kUpdateBadUtf8 == 9003 &&
                    tc::kUpdateTwice == 9004 && tc::kUpdateDelay == 9005,
                "the cases spell the switches out");
  ExpectCases(cases, [this](const Case& c) { return Post(c.path, c.body, c.headers); });

  const HttpReply options = rktest::Request(port_, "OPTIONS", "/updater/update");
  EXPECT_EQ(options.status, 501);
  EXPECT_EQ(options.body, "{}");
  EXPECT_EQ(rktest::Request(port_, "GET", "/updater/update").status, 501);

  // Slow answers on several listener threads at once each get their own result.
  std::vector<std::thread> clients;
  std::vector<HttpReply> replies(4);
  for (size_t i = 0; i < replies.size(); ++i) {
    clients.emplace_back([&, i] {
      replies[i] = Post("/updater/update", "update_type=9005" + std::string(i % 2 ? "&update_channel=true" : ""));
    });
  }
  for (auto& client : clients) client.join();
  for (size_t i = 0; i < replies.size(); ++i) {
    EXPECT_EQ(replies[i].body, i % 2 ? R"({"op":"Update","args":[9005,"stable,beta"]})"
                                     : R"({"op":"Update","args":[9005,"stable"]})")
        << i;
  }
}

TEST_F(Proxies, BodiesStillOnTheirWayHoldNoListenerThread) {
  StartService();
  // More unfinished bodies than the listener has threads.
  constexpr int kClients = 20;
  std::vector<std::string> requests;
  std::vector<std::unique_ptr<rktest::SlowClient>> waiting;
  for (int i = 0; i < kClients; ++i) {
    // Two users: each within its share of the work pool.
    requests.push_back(rktest::BuildRequest("POST", "/account/check",
                                            {{"Content-Type", kForm}, {"UserName", i % 2 ? "ann" : "bob"}},
                                            "account=" + std::to_string(i)));
    waiting.push_back(std::make_unique<rktest::SlowClient>(port_));
    ASSERT_TRUE(waiting.back()->Send(requests.back().substr(0, requests.back().size() - 3)));
  }
  EXPECT_EQ(Post("/updater/update", "update_type=1").body, R"({"op":"Update","args":[1,"stable"]})");
  for (int i = 0; i < kClients; ++i) ASSERT_TRUE(waiting[i]->Send(requests[i].substr(requests[i].size() - 3)));
  for (int i = 0; i < kClients; ++i) {
    const std::string reply = waiting[i]->Receive();
    EXPECT_NE(reply.find(R"({"op":"Check","args":[")" + std::to_string(i) + "\"]}"), std::string::npos) << reply;
  }
}

TEST_F(Proxies, RefusedServicesLeaveEveryPostUnrouted) {
  ASSERT_EQ(setenv(tc::kRefuseVariable, "rk_account,rk_updater", 1), 0);
  StartService();
  const auto before = Counters(rkhalvex::kRkAccountServiceName);
  EXPECT_EQ(Post("/account/check", "account=x", kAnn).status, 404);
  EXPECT_EQ(Post("/account/list", "", kAnn).body, "{}");
  EXPECT_EQ(Post("/updater/update", "", kAnn).status, 404);
  EXPECT_EQ(rktest::Request(port_, "OPTIONS", "/account/check").status, 200);
  unsetenv(tc::kRefuseVariable);
  // Handlers stay as made: no service is bound later.
  EXPECT_EQ(Post("/account/check", "account=x", kAnn).status, 404);
  EXPECT_EQ(Counters(rkhalvex::kRkAccountServiceName), before);
  const std::string log = Log();
  EXPECT_EQ(log.find("[error]"), std::string::npos) << log;
}

}  // namespace
}  // namespace rkservice
