// Stand-in for the browser's main library: one account and one updater
// service object for the whole process, each answering with what it was asked.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "rk_halvex_interface.h"
#include "rk_halvex_test_controls.h"

namespace rkhalvex {
namespace {

namespace tc = test_controls;

enum class Mode { kEcho, kNoResult, kErrorCode, kBadUtf8, kTwice, kDelay, kHold };

// Calls that wait for the test. Never destroyed: a held call may end while
// the process exits.
struct Held {
  std::mutex mutex;
  std::condition_variable changed;
  int32_t count = 0;
  bool let_go = false;
};

Held& TheHeld() {
  static Held* const held = new Held();
  return *held;
}

void HoldUntilLetGo() {
  Held& held = TheHeld();
  std::unique_lock<std::mutex> lock(held.mutex);
  ++held.count;
  held.changed.wait(lock, [&] { return held.let_go; });
  --held.count;
}

Mode ModeOfWord(const char* text) {
  if (text == nullptr) return Mode::kEcho;
  const struct {
    const char* word;
    Mode mode;
  } words[] = {{tc::kNoResult, Mode::kNoResult},
               {tc::kErrorCode, Mode::kErrorCode},
               {tc::kBadUtf8, Mode::kBadUtf8},
               {tc::kTwice, Mode::kTwice},
               {tc::kDelay, Mode::kDelay},
               {tc::kHold, Mode::kHold}};
  for (const auto& w : words) {
    if (std::strcmp(text, w.word) == 0) return w.mode;
  }
  return Mode::kEcho;
}

Mode ModeOfUpdateType(int32_t update_type) {
  switch (update_type) {
    case tc::kUpdateNoResult:
      return Mode::kNoResult;
    case tc::kUpdateErrorCode:
      return Mode::kErrorCode;
    case tc::kUpdateBadUtf8:
      return Mode::kBadUtf8;
    case tc::kUpdateTwice:
      return Mode::kTwice;
    case tc::kUpdateDelay:
      return Mode::kDelay;
    default:
      return Mode::kEcho;
  }
}

void AppendJsonText(const char* text, std::string& out) {
  out += '"';
  for (const char* p = text; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);  // UTF-8 passes through as it came
    }
  }
  out += '"';
}

// One call's answer: the operation's name and its arguments in table order.
class Answer {
 public:
  explicit Answer(const char* op) : op_(op) {}

  Answer& Text(const char* text) {
    Separate();
    if (text == nullptr) {
      args_ += "null";
    } else {
      AppendJsonText(text, args_);
    }
    if (mode_ == Mode::kEcho) mode_ = ModeOfWord(text);
    return *this;
  }
  Answer& Flag(bool flag) {
    Separate();
    args_ += flag ? "true" : "false";
    return *this;
  }
  Answer& Number(int32_t number) {
    Separate();
    args_ += std::to_string(number);
    return *this;
  }
  Answer& Choose(Mode mode) {
    mode_ = mode;
    return *this;
  }

  int32_t SendTo(RkRestResult* result) const {
    const std::string head = std::string("{\"op\":\"") + op_ + "\"";
    switch (mode_) {
      case Mode::kNoResult:
        return 0;
      case Mode::kErrorCode:
        Set(result, head + ",\"error\":-1}");
        return -1;
      case Mode::kBadUtf8:
        Set(result, head + ",\"bad\":\"\xFF\xC3\"}");
        return 0;
      case Mode::kTwice:
        Set(result, "first");
        break;
      case Mode::kDelay:
        std::this_thread::sleep_for(std::chrono::milliseconds(tc::kDelayMs));
        break;
      case Mode::kHold:
        HoldUntilLetGo();
        break;
      case Mode::kEcho:
        break;
    }
    Set(result, head + ",\"args\":[" + args_ + "]}");
    return 0;
  }

 private:
  void Separate() {
    if (!args_.empty()) args_ += ',';
  }
  static void Set(RkRestResult* result, const std::string& text) {
    if (result != nullptr) result->SetResult(text.data(), static_cast<int32_t>(text.size()));
  }

  const char* op_;
  std::string args_;
  Mode mode_ = Mode::kEcho;
};

// Reference counts; the object itself lives as long as the process.
class Counted {
 public:
  void Count(bool acquire) { (acquire ? acquired_ : released_).fetch_add(1, std::memory_order_relaxed); }
  void Read(int32_t* acquired, int32_t* released) const {
    if (acquired != nullptr) *acquired = acquired_.load(std::memory_order_relaxed);
    if (released != nullptr) *released = released_.load(std::memory_order_relaxed);
  }

 private:
  std::atomic<int32_t> acquired_{0};
  std::atomic<int32_t> released_{0};
};

class AccountService final : public RkAccountService, public Counted {
 public:
  void Acquire() override { Count(true); }
  void Release() override { Count(false); }
  int32_t Check(const char* account, RkRestResult* result) override {
    return Answer("Check").Text(account).SendTo(result);
  }
  int32_t UpdateProfile(const char* account, RkRestResult* result) override {
    return Answer("UpdateProfile").Text(account).SendTo(result);
  }
  int32_t GetProfile(const char* profile, RkRestResult* result) override {
    return Answer("GetProfile").Text(profile).SendTo(result);
  }
  void Reserved5() override {}
  int32_t Login(const char* profile, const char* account, const char* password, const char* country, bool auto_login,
                const char* login_service, bool remember_password, bool import_guest_data, bool delete_profile,
                RkRestResult* result) override {
    return Answer("Login")
        .Text(profile)
        .Text(account)
        .Text(password)
        .Text(country)
        .Flag(auto_login)
        .Text(login_service)
        .Flag(remember_password)
        .Flag(import_guest_data)
        .Flag(delete_profile)
        .SendTo(result);
  }
  int32_t Logout(const char* profile, const char* account, bool delete_profile, RkRestResult* result) override {
    return Answer("Logout").Text(profile).Text(account).Flag(delete_profile).SendTo(result);
  }
  int32_t Register(const char* account_type, const char* account, const char* password, const char* country,
                   const char* vcode, RkRestResult* result) override {
    return Answer("Register").Text(account_type).Text(account).Text(password).Text(country).Text(vcode).SendTo(result);
  }
  int32_t SendMobileCode(const char* action, const char* country, const char* mobile, RkRestResult* result) override {
    return Answer("SendMobileCode").Text(action).Text(country).Text(mobile).SendTo(result);
  }
  int32_t SendEmailCode(const char* action, const char* email, RkRestResult* result) override {
    return Answer("SendEmailCode").Text(action).Text(email).SendTo(result);
  }
  int32_t VerifyEmailCode(const char* email, const char* vcode, RkRestResult* result) override {
    return Answer("VerifyEmailCode").Text(email).Text(vcode).SendTo(result);
  }
  int32_t VerifyMobileCode(const char* country, const char* mobile, const char* vcode,
                           RkRestResult* result) override {
    return Answer("VerifyMobileCode").Text(country).Text(mobile).Text(vcode).SendTo(result);
  }
  int32_t ResetPassword(const char* account_type, const char* account, const char* password, const char* country,
                        const char* vcode, RkRestResult* result) override {
    return Answer("ResetPassword")
        .Text(account_type)
        .Text(account)
        .Text(password)
        .Text(country)
        .Text(vcode)
        .SendTo(result);
  }
  void Reserved14() override {}
  void Reserved15() override {}
  int32_t GetDeviceRecord(const char* profile, int32_t begin, int32_t end, RkRestResult* result) override {
    return Answer("GetDeviceRecord").Text(profile).Number(begin).Number(end).SendTo(result);
  }
  int32_t SetDeviceRecord(const char* profile, RkRestResult* result) override {
    return Answer("SetDeviceRecord").Text(profile).SendTo(result);
  }
  int32_t GetMiscInfo(const char* profile, RkRestResult* result) override {
    return Answer("GetMiscInfo").Text(profile).SendTo(result);
  }
  int32_t SetMiscInfo(const char* profile, bool pwdrevalid, RkRestResult* result) override {
    return Answer("SetMiscInfo").Text(profile).Flag(pwdrevalid).SendTo(result);
  }
  int32_t ListAccounts(RkRestResult* result) override { return Answer("ListAccounts").SendTo(result); }
};

class UpdaterService final : public RkUpdaterService, public Counted {
 public:
  void Acquire() override { Count(true); }
  void Release() override { Count(false); }
  int32_t Update(RkRestResult* result, int32_t update_type, const char* channels) override {
    return Answer("Update").Number(update_type).Text(channels).Choose(ModeOfUpdateType(update_type)).SendTo(result);
  }
};

// Never destroyed: holders may release them while the process exits.
AccountService* TheAccountService() {
  static AccountService* service = new AccountService();
  return service;
}
UpdaterService* TheUpdaterService() {
  static UpdaterService* service = new UpdaterService();
  return service;
}

}  // namespace
}  // namespace rkhalvex

using rkhalvex::TheAccountService;
using rkhalvex::TheUpdaterService;

#ifndef RK_HALVEX_WITHOUT_EXPORT
namespace {

bool Refused(const char* name) {
  const char* list = std::getenv(rkhalvex::test_controls::kRefuseVariable);
  if (list == nullptr) return false;
  const std::string names = std::string(",") + list + ",";
  return names.find(std::string(",") + name + ",") != std::string::npos;
}

}  // namespace

extern "C" bool Rk_GetRestService(const char* service_name, void** out_service) {
  if (out_service == nullptr) return false;
  *out_service = nullptr;
  if (service_name == nullptr || Refused(service_name)) return false;
  if (std::strcmp(service_name, rkhalvex::kRkAccountServiceName) == 0) {
    *out_service = static_cast<rkhalvex::RkAccountService*>(TheAccountService());
  } else if (std::strcmp(service_name, rkhalvex::kRkUpdaterServiceName) == 0) {
    *out_service = static_cast<rkhalvex::RkUpdaterService*>(TheUpdaterService());
  }
  return *out_service != nullptr;
}
#endif

extern "C" __attribute__((visibility("default"))) bool RkHalvexCounters(const char* service_name, int32_t* acquired,
                                                                       int32_t* released) {
  if (service_name == nullptr) return false;
  if (std::strcmp(service_name, rkhalvex::kRkAccountServiceName) == 0) {
    TheAccountService()->Read(acquired, released);
  } else if (std::strcmp(service_name, rkhalvex::kRkUpdaterServiceName) == 0) {
    TheUpdaterService()->Read(acquired, released);
  } else {
    return false;
  }
  return true;
}

static_assert(std::is_same_v<decltype(&RkHalvexCounters), rkhalvex::test_controls::RkHalvexCountersFn>,
              "counters signature");

extern "C" __attribute__((visibility("default"))) int32_t RkHalvexHeld() {
  rkhalvex::Held& held = rkhalvex::TheHeld();
  std::lock_guard<std::mutex> lock(held.mutex);
  return held.count;
}

extern "C" __attribute__((visibility("default"))) void RkHalvexLetGo() {
  rkhalvex::Held& held = rkhalvex::TheHeld();
  {
    std::lock_guard<std::mutex> lock(held.mutex);
    held.let_go = true;
  }
  held.changed.notify_all();
}

static_assert(std::is_same_v<decltype(&RkHalvexHeld), rkhalvex::test_controls::RkHalvexHeldFn>, "held signature");
static_assert(std::is_same_v<decltype(&RkHalvexLetGo), rkhalvex::test_controls::RkHalvexLetGoFn>,
              "let-go signature");
