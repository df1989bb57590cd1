// The shipped service library copied into a folder of the test's own, with the
// browser's main library missing, unloadable, without its export, or refusing
// the services: the proxies answer every POST 404, and only a library that
// cannot be loaded is logged, by the account handler alone.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "rk_test_http.h"
#include "rkservice.h"

namespace {

namespace fs = std::filesystem;

struct Variant {
  const char* name;
  const char* library;  // copied in as libhalvex.so; null: none
  bool refuse;          // the stand-in refuses both services
  bool logged;          // the account handler logs the load failure
};

void PrintTo(const Variant& variant, std::ostream* out) { *out << variant.name; }

class HalvexBinding : public testing::TestWithParam<Variant> {
 protected:
  void SetUp() override {
    dir_ = fs::path(testing::TempDir()) / ("rk_halvex_binding_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "service");
    fs::create_directories(dir_ / "root");
    fs::copy_file(RK_OUTPUT_DIR "/librkservice.so", dir_ / "service" / "librkservice.so");
    const Variant& v = GetParam();
    if (v.library != nullptr && std::string(v.library) == "junk") {
      std::ofstream(dir_ / "service" / "libhalvex.so") << "not an ELF file";
    } else if (v.library != nullptr) {
      fs::copy_file(fs::path(RK_OUTPUT_DIR) / v.library, dir_ / "service" / "libhalvex.so");
    }
    if (v.refuse) setenv("RK_HALVEX_REFUSE", "rk_account,rk_updater", 1);

    handle_ = dlopen((dir_ / "service" / "librkservice.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    add_ = reinterpret_cast<decltype(add_)>(dlsym(handle_, "AddRkService"));
    start_ = reinterpret_cast<decltype(start_)>(dlsym(handle_, "StartRkService"));
    free_ = reinterpret_cast<decltype(free_)>(dlsym(handle_, "FreeMemory"));
    release_ = reinterpret_cast<decltype(release_)>(dlsym(handle_, "ReleaseRkService"));
    ASSERT_TRUE(add_ && start_ && free_ && release_);
    port_ = rktest::FreeLoopbackPort();
    const std::string port = std::to_string(port_), root = (dir_ / "root").string();
    const RkServiceDesc desc{"binding", port.c_str(), root.c_str(), 1, "http://127.0.0.1:9"};
    ASSERT_TRUE(add_(&desc));
    char* address = nullptr;
    int length = 0;
    ASSERT_TRUE(start_("binding", &address, &length));
    free_(reinterpret_cast<void**>(&address));
  }
  void TearDown() override {
    if (release_) release_();
    unsetenv("RK_HALVEX_REFUSE");
    fs::remove_all(dir_);
  }

  std::string Log() {
    std::ifstream in(dir_ / "root" / "Log Files" / "rkservice.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  }

  fs::path dir_;
  int port_ = 0;
  void* handle_ = nullptr;
  decltype(&::AddRkService) add_ = nullptr;
  decltype(&::StartRkService) start_ = nullptr;
  decltype(&::FreeMemory) free_ = nullptr;
  decltype(&::ReleaseRkService) release_ = nullptr;
};

TEST_P(HalvexBinding, EveryPostIsUnroutedAndOnlyTheAccountHandlerLogsALoadFailure) {
  const char* paths[] = {"/account/check",          "/account/login",           "/account/logout",
                         "/account/vcode/mobile",   "/account/vcode/email",     "/account/vcode/verifyemail",
                         "/account/vcode/verifymobile", "/account/update/profile", "/account/get/profile",
                         "/account/register",       "/account/rest/password",   "/account/device/record/get",
                         "/account/device/record/set", "/account/misc/info/get", "/account/misc/info/set",
                         "/account/list",           "/updater/update"};
  for (const char* user : {"ann", "bob"}) {
    for (const char* path : paths) {
      const rktest::HttpReply reply =
          rktest::Request(port_, "POST", path,
                          {{"UserName", user}, {"Content-Type", "application/x-www-form-urlencoded"}},
                          "account=a&password=p&account_type=t&vcode=v&action=x&country=1&mobile=2&email=e");
      EXPECT_EQ(reply.status, 404) << path;
      EXPECT_EQ(reply.body, "{}") << path;
    }
  }
  EXPECT_EQ(rktest::Request(port_, "OPTIONS", "/account/check").status, 200);
  EXPECT_EQ(rktest::Request(port_, "OPTIONS", "/updater/update").status, 501);

  release_();  // flushes the log
  release_ = nullptr;
  const std::string log = Log();
  const std::string line =
      "[error] can not load library :" + (fs::canonical(dir_ / "service") / "libhalvex.so").string() + "\n";
  // One line per account handler (ann, bob, and "Anonymity" of the preflight
  // request); none from the updater handlers.
  EXPECT_EQ(Count(log, line), GetParam().logged ? 3u : 0u) << log;
  EXPECT_EQ(Count(log, "[error]"), GetParam().logged ? 3u : 0u) << log;
}

INSTANTIATE_TEST_SUITE_P(Libraries, HalvexBinding,
                         testing::Values(Variant{"Missing", nullptr, false, true},
                                         Variant{"NotALibrary", "junk", false, true},
                                         Variant{"WithoutExport", "libhalvex_without_export.so", false, false},
                                         Variant{"Refusing", "libhalvex.so", true, false}),
                         [](const testing::TestParamInfo<Variant>& info) { return std::string(info.param.name); });

}  // namespace
