// Public interface of the local REST service library: what the browser may
// call, and nothing it may not.
#ifndef RKSERVICE_INCLUDE_RKSERVICE_H_
#define RKSERVICE_INCLUDE_RKSERVICE_H_

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define RK_EXPORT __declspec(dllexport)
#else
#define RK_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Five consecutive 8-byte slots; the browser fills it and keeps it only for
// the duration of AddRkService. Every text is NUL-terminated UTF-8.
typedef struct RkServiceDesc {
  const char* name;
  const char* port;
  const char* root_path;
  uint8_t local_only;  // non-zero: listen on "localhost" only
  const char* notify_host;
} RkServiceDesc;

RK_EXPORT bool StartLogger(const char* file, int level);
RK_EXPORT bool AddRkService(const RkServiceDesc* desc);
RK_EXPORT bool StartRkService(const char* name, char** out, int* len);
RK_EXPORT void StopRkService(const char* name);
RK_EXPORT void RemoveRkService(const char* name);
RK_EXPORT void ReleaseRkService(void);
RK_EXPORT bool GetServiceAddress(const char* name, char** out, int* len);
RK_EXPORT void GetServiceVersion(char** out);
RK_EXPORT void FreeMemory(void** p);

#ifdef __cplusplus
}  // extern "C"

static_assert(sizeof(RkServiceDesc) == 40, "RkServiceDesc is five 8-byte slots");
static_assert(offsetof(RkServiceDesc, port) == 8, "port slot");
static_assert(offsetof(RkServiceDesc, root_path) == 16, "root path slot");
static_assert(offsetof(RkServiceDesc, local_only) == 24, "local-only slot");
static_assert(offsetof(RkServiceDesc, notify_host) == 32, "notify host slot");

#include <memory>
#include <mutex>
#include <string>

namespace rkservice {

// Users one service holds at most, well above any browser's profiles: a
// request for a further user is answered 503 "{}"; users already served keep
// being served.
inline constexpr size_t kRkMaxUsersPerService = 256;
// Users of the account and updater routes alone (they keep no data), counted
// apart from the users above; past it a further one is answered 503 "{}" too.
// "Anonymity", the user of those routes' requests without a UserName, is
// always served.
inline constexpr size_t kRkMaxProxyUsersPerService = 1024;

// spdlog's numbering.
enum RkLogLevel : int {
  kRkLogTrace = 0,
  kRkLogDebug = 1,
  kRkLogInfo = 2,
  kRkLogWarning = 3,
  kRkLogError = 4,
  kRkLogCritical = 5,
  kRkLogOff = 6,
};

struct RK_EXPORT RkServiceInfo {
  RkServiceInfo();
  RkServiceInfo(const RkServiceInfo& other);
  RkServiceInfo& operator=(const RkServiceInfo& other);
  ~RkServiceInfo();

  std::string name;
  std::string port;
  bool local_only;
  std::string root_path;
  std::string notify_host;
};

template <class T>
class RK_EXPORT RkSingleton {
 public:
  virtual ~RkSingleton() {}
  static T* GetInstance();

  static std::once_flag flag_;
  static std::unique_ptr<T> ins_;

 protected:
  RkSingleton() = default;
};

class RkServiceManager;
extern template class RK_EXPORT RkSingleton<RkServiceManager>;

class RkServiceManagerImpl;

class RK_EXPORT RkServiceManager : public RkSingleton<RkServiceManager> {
 public:
  ~RkServiceManager() override;

  const std::string GetVersion() const;
  bool StartLogger(const std::string& file, RkLogLevel level);
  bool AddRkService(RkServiceInfo info);
  bool RemoveRkService(const std::string& name);
  bool StartRkService(const std::string& name);
  void StopRkService(const std::string& name);
  std::string GetServiceAddress(const std::string& name);
  std::shared_ptr<RkServiceInfo> GetServiceInfo(const std::string& name);
  void RemoveAllService();
  void SetPrintAllLog(bool on);
  bool PrintAllLog();

 private:
  friend class RkSingleton<RkServiceManager>;
  RkServiceManager();

  RkServiceManagerImpl* impl_;
};

}  // namespace rkservice

#endif  // __cplusplus

#endif  // RKSERVICE_INCLUDE_RKSERVICE_H_
