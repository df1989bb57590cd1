// The one contract between the service and the browser's main library
// "halvex": the export that hands out service objects by name, the account and
// updater service objects whose tables the service calls by position, and the
// result object through which every operation answers.
//
// ABI rules kept here (both sides are built with the same compiler):
// - The position of every operation in its table is fixed (the number in its
//   comment). Positions nobody calls are reserved placeholders that keep
//   their places. Acquire and Release are always 0 and 1.
// - No virtual destructor (on this ABI it takes two table slots) and no
//   overloaded virtual (overloads are not grouped in table order). Service
//   objects belong to the library and are never destroyed by the service.
// - Texts are NUL-terminated UTF-8; flags are bool; numbers are 32-bit signed.
// - The result pointer is valid during the call only; an operation answers by
//   calling SetResult on it, before it returns, from the calling thread.
// - A service object may be called from several threads at once.
#ifndef EXTLIBS_HALVEX_RK_HALVEX_INTERFACE_H_
#define EXTLIBS_HALVEX_RK_HALVEX_INTERFACE_H_

#include <cstdint>
#include <type_traits>

namespace rkhalvex {

// Holds an operation's answer, owned by the caller.
class RkRestResult {
 public:
  // 0: replaces the held text with `length` bytes from `data` (UTF-8, no NUL
  // needed). The last call wins; without a call the answer is empty.
  virtual void SetResult(const char* data, int32_t length) = 0;

 protected:
  ~RkRestResult() = default;
};

// What every service object starts with.
class RkRestService {
 public:
  // 0: called once by a holder that keeps the object.
  virtual void Acquire() = 0;
  // 1: called once when that holder lets it go.
  virtual void Release() = 0;

 protected:
  ~RkRestService() = default;
};

// The account service, handed out for kRkAccountServiceName. Every work
// operation answers through the result passed last; what it returns is the
// library's own status and decides nothing on the service's side.
class RkAccountService : public RkRestService {
 public:
  // 2
  virtual int32_t Check(const char* account, RkRestResult* result) = 0;
  // 3
  virtual int32_t UpdateProfile(const char* account, RkRestResult* result) = 0;
  // 4
  virtual int32_t GetProfile(const char* profile, RkRestResult* result) = 0;
  virtual void Reserved5() = 0;
  // 6
  virtual int32_t Login(const char* profile, const char* account, const char* password, const char* country,
                        bool auto_login, const char* login_service, bool remember_password, bool import_guest_data,
                        bool delete_profile, RkRestResult* result) = 0;
  // 7: account is null when none was given.
  virtual int32_t Logout(const char* profile, const char* account, bool delete_profile, RkRestResult* result) = 0;
  // 8
  virtual int32_t Register(const char* account_type, const char* account, const char* password, const char* country,
                           const char* vcode, RkRestResult* result) = 0;
  // 9
  virtual int32_t SendMobileCode(const char* action, const char* country, const char* mobile,
                                 RkRestResult* result) = 0;
  // 10
  virtual int32_t SendEmailCode(const char* action, const char* email, RkRestResult* result) = 0;
  // 11
  virtual int32_t VerifyEmailCode(const char* email, const char* vcode, RkRestResult* result) = 0;
  // 12
  virtual int32_t VerifyMobileCode(const char* country, const char* mobile, const char* vcode,
                                   RkRestResult* result) = 0;
  // 13
  virtual int32_t ResetPassword(const char* account_type, const char* account, const char* password,
                                const char* country, const char* vcode, RkRestResult* result) = 0;
  virtual void Reserved14() = 0;
  virtual void Reserved15() = 0;
  // 16
  virtual int32_t GetDeviceRecord(const char* profile, int32_t begin, int32_t end, RkRestResult* result) = 0;
  // 17
  virtual int32_t SetDeviceRecord(const char* profile, RkRestResult* result) = 0;
  // 18
  virtual int32_t GetMiscInfo(const char* profile, RkRestResult* result) = 0;
  // 19
  virtual int32_t SetMiscInfo(const char* profile, bool pwdrevalid, RkRestResult* result) = 0;
  // 20
  virtual int32_t ListAccounts(RkRestResult* result) = 0;

 protected:
  ~RkAccountService() = default;
};

// The updater service, handed out for kRkUpdaterServiceName.
class RkUpdaterService : public RkRestService {
 public:
  // 2: the result comes first here. channels: "stable", or "stable,beta".
  virtual int32_t Update(RkRestResult* result, int32_t update_type, const char* channels) = 0;

 protected:
  ~RkUpdaterService() = default;
};

static_assert(!std::has_virtual_destructor_v<RkRestResult>, "a virtual destructor would shift the table");
static_assert(!std::has_virtual_destructor_v<RkAccountService>, "a virtual destructor would shift the table");
static_assert(!std::has_virtual_destructor_v<RkUpdaterService>, "a virtual destructor would shift the table");
static_assert(sizeof(bool) == 1, "flags and the export's answer are one-byte booleans");

inline constexpr char kRkAccountServiceName[] = "rk_account";
inline constexpr char kRkUpdaterServiceName[] = "rk_updater";

// The export, looked up by this name. True: *out_service holds the named
// service object, as its own interface type (RkAccountService* for
// "rk_account"). False: *out_service is untouched or null.
using RkGetRestServiceFn = bool (*)(const char* service_name, void** out_service);
inline constexpr char kRkGetRestServiceName[] = "Rk_GetRestService";

}  // namespace rkhalvex

extern "C" {
__attribute__((visibility("default"))) bool Rk_GetRestService(const char* service_name, void** out_service);
}

static_assert(std::is_same_v<decltype(&Rk_GetRestService), rkhalvex::RkGetRestServiceFn>, "export signature");

#endif  // EXTLIBS_HALVEX_RK_HALVEX_INTERFACE_H_
