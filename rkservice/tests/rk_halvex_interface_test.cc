// The contract with the browser's main library: the table positions, called by
// index into the real libhalvex.so as the service calls them, and the result
// object the service hands to every call.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "halvex/rk_halvex_interface.h"
#include "halvex/rk_halvex_test_controls.h"
#include "handlers/rk_rest_result_holder.h"
#include "rk_storage_test_support.h"

namespace {

using rkhalvex::RkRestResult;
using rkservice::RkRestResultHolder;
namespace tc = rkhalvex::test_controls;

// Calls the table entry at `slot` of `object` as the caller's compiler would,
// with the object as the hidden first argument.
template <typename R, typename... Args>
R CallSlot(void* object, int slot, Args... args) {
  using Entry = R (*)(void*, Args...);
  void** table = *static_cast<void***>(object);
  return reinterpret_cast<Entry>(table[slot])(object, args...);
}

class HalvexLibrary : public testing::Test {
 protected:
  void SetUp() override {
    module_ = dlopen(RK_OUTPUT_DIR "/libhalvex.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
    get_ = reinterpret_cast<rkhalvex::RkGetRestServiceFn>(dlsym(module_, rkhalvex::kRkGetRestServiceName));
    counters_ = reinterpret_cast<tc::RkHalvexCountersFn>(dlsym(module_, tc::kCountersName));
    ASSERT_NE(get_, nullptr);
    ASSERT_NE(counters_, nullptr);
  }

  void* Service(const char* name) {
    void* object = nullptr;
    EXPECT_TRUE(get_(name, &object)) << name;
    return object;
  }
  std::pair<int32_t, int32_t> Counters(const char* name) {
    int32_t acquired = -1, released = -1;
    EXPECT_TRUE(counters_(name, &acquired, &released));
    return {acquired, released};
  }

  void* module_ = nullptr;
  rkhalvex::RkGetRestServiceFn get_ = nullptr;
  tc::RkHalvexCountersFn counters_ = nullptr;
};

TEST_F(HalvexLibrary, EveryOperationAnswersFromItsTablePosition) {
  void* account = Service(rkhalvex::kRkAccountServiceName);
  void* updater = Service(rkhalvex::kRkUpdaterServiceName);
  ASSERT_NE(account, nullptr);
  ASSERT_NE(updater, nullptr);
  EXPECT_EQ(Service(rkhalvex::kRkAccountServiceName), account);  // one object per name

  using R = RkRestResult*;
  RkRestResultHolder r[20];
  CallSlot<int32_t>(account, 2, "a\"\\\n", R(&r[0]));
  CallSlot<int32_t>(account, 3, "u", R(&r[1]));
  CallSlot<int32_t>(account, 4, "p", R(&r[2]));
  CallSlot<int32_t>(account, 6, "p", "a", "w", "c", true, "en", false, true, false, R(&r[3]));
  CallSlot<int32_t>(account, 7, "p", static_cast<const char*>(nullptr), true, R(&r[4]));
  CallSlot<int32_t>(account, 8, "t", "a", "w", "c", "v", R(&r[5]));
  CallSlot<int32_t>(account, 9, "x", "c", "m", R(&r[6]));
  CallSlot<int32_t>(account, 10, "x", "e", R(&r[7]));
  CallSlot<int32_t>(account, 11, "e", "v", R(&r[8]));
  CallSlot<int32_t>(account, 12, "c", "m", "v", R(&r[9]));
  CallSlot<int32_t>(account, 13, "t", "a", "w", "c", "v", R(&r[10]));
  CallSlot<int32_t>(account, 16, "p", int32_t{-5}, int32_t{7}, R(&r[11]));
  CallSlot<int32_t>(account, 17, "p", R(&r[12]));
  CallSlot<int32_t>(account, 18, "p", R(&r[13]));
  CallSlot<int32_t>(account, 19, "p", true, R(&r[14]));
  CallSlot<int32_t>(account, 20, R(&r[15]));
  CallSlot<int32_t>(updater, 2, R(&r[16]), int32_t{3}, "stable,beta");
  const std::string expected[] = {
      R"({"op":"Check","args":["a\"\\\u000a"]})",
      R"({"op":"UpdateProfile","args":["u"]})",
      R"({"op":"GetProfile","args":["p"]})",
      R"({"op":"Login","args":["p","a","w","c",true,"en",false,true,false]})",
      R"({"op":"Logout","args":["p",null,true]})",
      R"({"op":"Register","args":["t","a","w","c","v"]})",
      R"({"op":"SendMobileCode","args":["x","c","m"]})",
      R"({"op":"SendEmailCode","args":["x","e"]})",
      R"({"op":"VerifyEmailCode","args":["e","v"]})",
      R"({"op":"VerifyMobileCode","args":["c","m","v"]})",
      R"({"op":"ResetPassword","args":["t","a","w","c","v"]})",
      R"({"op":"GetDeviceRecord","args":["p",-5,7]})",
      R"({"op":"SetDeviceRecord","args":["p"]})",
      R"({"op":"GetMiscInfo","args":["p"]})",
      R"({"op":"SetMiscInfo","args":["p",true]})",
      R"({"op":"ListAccounts","args":[]})",
      R"({"op":"Update","args":[3,"stable,beta"]})",
  };
  for (size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(r[i].text(), expected[i]) << i;

  // Acquire and release are the first two positions of both objects.
  for (void* object : {account, updater}) {
    const char* name = object == account ? rkhalvex::kRkAccountServiceName : rkhalvex::kRkUpdaterServiceName;
    const auto before = Counters(name);
    CallSlot<void>(object, 0);
    EXPECT_EQ(Counters(name), std::make_pair(before.first + 1, before.second)) << name;
    CallSlot<void>(object, 1);
    EXPECT_EQ(Counters(name), std::make_pair(before.first + 1, before.second + 1)) << name;
  }

  // The service's result object takes its text at position 0.
  RkRestResultHolder holder;
  CallSlot<void>(&holder, 0, "abc", int32_t{2});
  EXPECT_EQ(holder.text(), "ab");
}

TEST_F(HalvexLibrary, UnknownAndRefusedNamesGetNothing) {
  void* object = &object;
  EXPECT_FALSE(get_("rk_nothing", &object));
  EXPECT_EQ(object, nullptr);
  EXPECT_FALSE(get_(nullptr, &object));
  EXPECT_FALSE(get_(rkhalvex::kRkAccountServiceName, nullptr));
  EXPECT_FALSE(counters_("rk_nothing", nullptr, nullptr));

  ASSERT_EQ(setenv(tc::kRefuseVariable, "x,rk_updater", 1), 0);
  EXPECT_FALSE(get_(rkhalvex::kRkUpdaterServiceName, &object));
  EXPECT_NE(Service(rkhalvex::kRkAccountServiceName), nullptr);
  unsetenv(tc::kRefuseVariable);
  EXPECT_NE(Service(rkhalvex::kRkUpdaterServiceName), nullptr);
}

TEST(RkRestResultHolder, KeepsTheLastTextAndIgnoresImpossibleLengths) {
  rktest::LogCapture log;
  RkRestResultHolder result;
  EXPECT_EQ(result.text(), "");
  result.SetResult("first", 5);
  result.SetResult("second\0x", 8);
  EXPECT_EQ(result.text(), std::string("second\0x", 8));

  result.SetResult("x", -1);
  result.SetResult(nullptr, 4);
  EXPECT_EQ(result.text(), std::string("second\0x", 8));
  EXPECT_EQ(log.Count("SetResult ignored"), 2u);

  const std::string limit(rkservice::kMaxRestResultBytes, 'a');
  result.SetResult(limit.data(), static_cast<int32_t>(limit.size()) + 1);  // never read: refused on its length
  EXPECT_EQ(result.text().size(), 8u);
  EXPECT_EQ(log.Count("SetResult refused"), 1u);
  result.SetResult(limit.data(), static_cast<int32_t>(limit.size()));
  EXPECT_EQ(result.text().size(), limit.size());

  result.SetResult(nullptr, 0);
  EXPECT_EQ(result.text(), "");
}

}  // namespace
