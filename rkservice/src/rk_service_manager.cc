// The process-wide service manager: a table of services by name, each one
// router with its listener.
#include <atomic>
#include <iostream>
#include <map>

#include "platform/rk_exit_close.h"
#include "platform/rk_platform.h"
#include "platform/rk_work_pool.h"
#include "rk_http_client.h"
#include "rk_logger.h"
#include "rk_message_router.h"
#include "rk_service_work.h"
#include "rk_utils.h"
#include "rkservice.h"

namespace rkservice {

class RkServiceManagerImpl;

namespace {
const std::string kVersion = "v0.2";

// A browser may return from main, or call exit, without releasing its
// services, while requests still run. Every service is released here,
// before anything their work uses is torn down: what the work needs is made
// before the close is registered, so its exit-time cleanup runs after the
// close (see RkExitClose).
void ReleaseServicesAtExit() {
  RkServiceManager::GetInstance()->RemoveAllService();
  // Calls into the browser's main library that a stop left running.
  RkServiceWork::WaitNoCallOutside();
}

void CloseServicesAtExit() {
  static std::once_flag once;
  std::call_once(once, [] {
    RkLogger::Instance();
    platform::RkWorkPool::Shared();
    InitCryptoLibrary();
    RkHttpClient::InitLibrary();
    platform::RkExitClose::Set(&ReleaseServicesAtExit);
  });
}

}  // namespace

RkServiceInfo::RkServiceInfo() : port("0"), local_only(true) {}
RkServiceInfo::RkServiceInfo(const RkServiceInfo& other) = default;
RkServiceInfo& RkServiceInfo::operator=(const RkServiceInfo& other) = default;
RkServiceInfo::~RkServiceInfo() = default;

template <class T>
std::once_flag RkSingleton<T>::flag_;
template <class T>
std::unique_ptr<T> RkSingleton<T>::ins_;

template <class T>
T* RkSingleton<T>::GetInstance() {
  std::call_once(flag_, [] { ins_.reset(new T()); });
  return ins_.get();
}

template class RkSingleton<RkServiceManager>;

class RkServiceManagerImpl {
 public:
  ~RkServiceManagerImpl() {
    for (const auto& service : services_) std::cout << service.second.use_count() << std::endl;
    services_.clear();
  }

  bool Add(const RkServiceInfo& info) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (services_.count(info.name) != 0) {
      RkLogError("{0} already inside", info.name);
      return false;
    }
    services_[info.name] = std::make_shared<RkMessageRouter>(info);
    platform::DebugOutput(info.name + " added success");
    return true;
  }

  bool Start(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = services_.find(name);
    if (found == services_.end()) return false;
    std::string text = "starting service:" + name + "\n";
    platform::DebugOutput(text);
    try {
      if (!found->second->Start()) return false;
      CloseServicesAtExit();
      text += "service stared OK";
    } catch (const std::exception& e) {
      text += "start service err: ";
      text += e.what();
      platform::DebugOutput(text);
      return false;
    }
    platform::DebugOutput(text);
    return true;
  }

  void Stop(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = services_.find(name);
    if (found != services_.end()) found->second->Stop();
  }

  bool Remove(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = services_.find(name);
    if (found == services_.end()) return false;
    found->second->Stop();
    services_.erase(found);
    return true;
  }

  void RemoveAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& service : services_) {
      try {
        service.second->Stop();
      } catch (const std::exception& e) {
        std::cout << e.what() << std::endl;
      }
    }
    services_.clear();
  }

  std::string Address(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = services_.find(name);
    return found != services_.end() ? found->second->GetAddress() : std::string();
  }

  std::shared_ptr<RkServiceInfo> Info(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = services_.find(name);
    if (found == services_.end()) return nullptr;
    return std::make_shared<RkServiceInfo>(found->second->GetServiceInfo());
  }

  std::atomic<bool> print_all_log{false};

 private:
  std::map<std::string, std::shared_ptr<RkMessageRouter>> services_;
  std::mutex mutex_;
};

RkServiceManager::RkServiceManager() : impl_(new RkServiceManagerImpl()) {}
RkServiceManager::~RkServiceManager() { delete impl_; }

const std::string RkServiceManager::GetVersion() const { return kVersion; }

bool RkServiceManager::StartLogger(const std::string& file, RkLogLevel level) {
  RkLogger* logger = RkLogger::Instance();
  return logger != nullptr && logger->Init(file, level);
}

bool RkServiceManager::AddRkService(RkServiceInfo info) { return impl_->Add(info); }
bool RkServiceManager::RemoveRkService(const std::string& name) { return impl_->Remove(name); }
bool RkServiceManager::StartRkService(const std::string& name) { return impl_->Start(name); }
void RkServiceManager::StopRkService(const std::string& name) { impl_->Stop(name); }
std::string RkServiceManager::GetServiceAddress(const std::string& name) { return impl_->Address(name); }
std::shared_ptr<RkServiceInfo> RkServiceManager::GetServiceInfo(const std::string& name) { return impl_->Info(name); }
void RkServiceManager::RemoveAllService() { impl_->RemoveAll(); }
void RkServiceManager::SetPrintAllLog(bool on) { impl_->print_all_log.store(on); }
bool RkServiceManager::PrintAllLog() { return impl_->print_all_log.load(); }

namespace {

// Unload order: the logger holder goes before the manager. Services still
// running were released earlier in the exit (ReleaseServicesAtExit).
struct UnloadGuard {
  ~UnloadGuard() {
    RkLogger::ReleaseInstance();
    RkSingleton<RkServiceManager>::ins_.reset();
  }
} g_unload_guard;

}  // namespace

}  // namespace rkservice
