// Shared by the notes engine tests: the engine library loaded as the service
// loads it, a byte sink, an observer that records every call with its
// thread, and the sync peer run as a child process.
#ifndef RKSERVICE_TESTS_RK_KIVVET_TEST_SUPPORT_H_
#define RKSERVICE_TESTS_RK_KIVVET_TEST_SUPPORT_H_

#include <dlfcn.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kivvet/rk_kivvet_interface.h"
#include "kivvet/rk_kivvet_testing.h"
#include "rk_storage_test_process.h"

namespace rktest {

using rkkivvet::RkGuid;
using rkkivvet::RkKivvetObserver;
using rkkivvet::RkNoteSyncStorage;

// Generous: only a hang reaches it.
constexpr auto kEventWait = std::chrono::seconds(60);

inline std::string EngineLibraryPath() { return std::string(RK_OUTPUT_DIR) + "/libRkKivvet.so"; }
inline std::string TestingEngineLibraryPath() { return std::string(RK_OUTPUT_DIR) + "/kivvet_testing/libRkKivvet.so"; }

inline RkGuid Guid(const std::string& text) {
  RkGuid id = {};
  unsigned int d4[8] = {};
  std::sscanf(text.c_str(), "%8x-%4hx-%4hx-%2x%2x-%2x%2x%2x%2x%2x%2x", &id.data1, &id.data2, &id.data3, &d4[0],
              &d4[1], &d4[2], &d4[3], &d4[4], &d4[5], &d4[6], &d4[7]);
  for (int i = 0; i < 8; ++i) id.data4[i] = static_cast<uint8_t>(d4[i]);
  return id;
}

inline std::string Text(const RkGuid& id) {
  char text[37];
  std::snprintf(text, sizeof(text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", id.data1, id.data2, id.data3,
                id.data4[0], id.data4[1], id.data4[2], id.data4[3], id.data4[4], id.data4[5], id.data4[6],
                id.data4[7]);
  return text;
}

inline std::string Text(const RkGuid* id) { return id != nullptr ? Text(*id) : "(null)"; }

// Test texts are ASCII.
inline std::u16string U16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }
inline std::string Narrow(const char16_t* text) {
  if (text == nullptr) return "(null)";
  std::string out;
  for (; *text != 0; ++text) out.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
  return out;
}

inline const char kRoot[] = "00000001-0000-0000-0000-000000000000";

// The whole file; "" when it cannot be read.
inline std::string ReadAll(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ByteSink final : public rkkivvet::RkByteSink {
 public:
  uint8_t* Grow(size_t n) override {
    const size_t old = bytes_.size();
    bytes_.resize(old + n);
    // Grow(0) on an empty buffer still hands out a pointer.
    return bytes_.empty() ? &spare_ : bytes_.data() + old;
  }
  std::string Text() const { return std::string(bytes_.begin(), bytes_.end()); }
  void Clear() { bytes_.clear(); }

 private:
  std::vector<uint8_t> bytes_;
  uint8_t spare_ = 0;
};

// The library loaded with dlopen, as the service loads it.
class KivvetLibrary {
 public:
  explicit KivvetLibrary(const std::string& path = EngineLibraryPath()) {
    module_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module_ == nullptr) {
      error_ = dlerror();
      return;
    }
    create_ = reinterpret_cast<rkkivvet::RkNoteSyncStorageCreateFn>(dlsym(module_, rkkivvet::kRkNoteSyncStorageCreateName));
    delete_ = reinterpret_cast<rkkivvet::RkNoteSyncStorageDeleteFn>(dlsym(module_, rkkivvet::kRkNoteSyncStorageDeleteName));
    fire_ = reinterpret_cast<rkkivvet::RkKivvetTestFireFn>(dlsym(module_, rkkivvet::kRkKivvetTestFireName));
  }
  // Never unloaded, as in the service.
  bool ok() const { return create_ != nullptr && delete_ != nullptr; }
  const std::string& error() const { return error_; }
  rkkivvet::RkNoteSyncStorageCreateFn create() const { return create_; }
  rkkivvet::RkNoteSyncStorageDeleteFn destroy() const { return delete_; }
  rkkivvet::RkKivvetTestFireFn fire() const { return fire_; }

 private:
  void* module_ = nullptr;
  std::string error_;
  rkkivvet::RkNoteSyncStorageCreateFn create_ = nullptr;
  rkkivvet::RkNoteSyncStorageDeleteFn delete_ = nullptr;
  rkkivvet::RkKivvetTestFireFn fire_ = nullptr;
};

// One engine object, shut down and deleted as the service does it.
class Engine {
 public:
  explicit Engine(const KivvetLibrary& library) : library_(library) {
    if (!library_.ok() || !library_.create()(&engine_)) engine_ = nullptr;
  }
  ~Engine() { Destroy(); }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  void Destroy() {
    if (engine_ == nullptr) return;
    engine_->Shutdown();
    engine_->SetObserver(nullptr);
    library_.destroy()(&engine_);
  }
  bool ok() const { return engine_ != nullptr; }
  RkNoteSyncStorage* get() const { return engine_; }
  RkNoteSyncStorage* operator->() const { return engine_; }

  bool Open(const std::filesystem::path& file) {
    return engine_->OpenStore(U16(file.string()).c_str(), U16("kivvet::test").c_str());
  }

 private:
  const KivvetLibrary& library_;
  RkNoteSyncStorage* engine_ = nullptr;
};

// Records every observer call, rendered as text, with the pointers it got and
// the thread it came on.
class RecordingObserver final : public RkKivvetObserver {
 public:
  struct Call {
    int position = 0;
    std::string text;
    std::vector<const void*> pointers;
    std::thread::id thread;
  };

  // Runs inside each callback, after it was recorded.
  void SetHook(std::function<void(const Call&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hook_ = std::move(hook);
  }

  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (const Call& call : Calls()) texts.push_back(call.text);
    return texts;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
  }
  // Waits for a call whose text starts with `prefix`.
  bool WaitFor(const std::string& prefix) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kEventWait, [&] {
      for (const Call& call : calls_) {
        if (call.text.compare(0, prefix.size(), prefix) == 0) return true;
      }
      return false;
    });
  }
  // Waits for the end of a sync run: state 2 or 3.
  bool WaitForRunEnd() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kEventWait, [&] {
      for (const Call& call : calls_) {
        if (call.text.rfind("state 2,", 0) == 0 || call.text.rfind("state 3,", 0) == 0) return true;
      }
      return false;
    });
  }

  void Reserved0() override { Record(0, "reserved", {}); }
  void OnSyncNotify(int32_t code, int32_t detail) override {
    Record(1, "notify " + Join({code, detail}), {});
  }
  void OnSyncNotify2(int32_t code, int32_t reason, const char* message) override {
    Record(2, "state " + Join({code, reason}) + "," + Str(message), {message});
  }
  void OnSyncProgress(int32_t type, int32_t current, int32_t total, const char* text) override {
    Record(3, "progress " + Join({type, current, total}) + "," + Str(text), {text});
  }
  void OnDataUpdated(int32_t event, const RkGuid* id) override {
    Record(4, "updated " + Join({event}) + "," + Text(id), {id});
  }
  void OnDataConflict(int32_t type, const RkGuid* id, const RkGuid* new_id, int32_t from) override {
    Record(5, "conflict " + Join({type}) + "," + Text(id) + "," + Text(new_id) + "," + Join({from}), {id, new_id});
  }
  void OnEngineEvent6(const char16_t* text, void* data, int32_t value, bool flag) override {
    Record(6, "event6 " + Narrow(text) + "," + Join({value, flag}), {text, data});
  }
  void OnImportData(void* data, bool ok) override { Record(7, std::string("import ") + (ok ? "ok" : "failed"), {data}); }
  void OnEngineEvent8() override { Record(8, "event8", {}); }
  void OnEngineEvent9(const char16_t* text, void* data, int32_t value, bool flag) override {
    Record(9, "event9 " + Narrow(text) + "," + Join({value, flag}), {text, data});
  }
  void OnDataChanged(int32_t event, const char* data, int32_t length, int32_t from) override {
    Record(10, "changed " + Join({event}) + "," + Bytes(data, length) + "," + Join({from}), {data});
  }
  void OnEngineEvent11(const char16_t* text) override { Record(11, "event11 " + Narrow(text), {text}); }
  void OnShareNoteResult(const char16_t* key, const char* data, int32_t length) override {
    Record(12, "share " + Narrow(key) + "," + Bytes(data, length), {key, data});
  }
  void OnNoteFileDownload(int32_t status, const RkGuid* id) override {
    Record(13, "download " + Join({status}) + "," + Text(id), {id});
  }

 private:
  static std::string Join(std::initializer_list<int64_t> numbers) {
    std::string text;
    for (int64_t n : numbers) text += (text.empty() ? "" : ",") + std::to_string(n);
    return text;
  }
  static std::string Str(const char* text) { return text != nullptr ? text : "(null)"; }
  // Reads data only where the arguments say it may.
  static std::string Bytes(const char* data, int32_t length) {
    if (data == nullptr) return "(null " + std::to_string(length) + ")";
    if (length < 0) return "(bytes " + std::to_string(length) + ")";
    return std::string(data, static_cast<size_t>(length));
  }

  void Record(int position, std::string text, std::vector<const void*> pointers) {
    Call call{position, std::move(text), std::move(pointers), std::this_thread::get_id()};
    std::function<void(const Call&)> hook;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back(call);
      hook = hook_;
    }
    changed_.notify_all();
    if (hook) hook(call);
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Call> calls_;
  std::function<void(const Call&)> hook_;
};

// build/<preset>/bin/rk_kivvet_peer on a port of its own choosing.
class PeerProcess {
 public:
  explicit PeerProcess(std::vector<std::string> extra = {}, int port = 0)
      : process_(std::filesystem::path(RK_OUTPUT_DIR) / "rk_kivvet_peer", Args(port, std::move(extra)),
                 std::filesystem::temp_directory_path()) {
    const std::string line = process_.WaitForLine("listening on ", kEventWait);
    line_ = line;
    if (!line.empty()) port_ = std::atoi(line.c_str() + std::strlen("listening on "));
  }

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  const std::string& line() const { return line_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // Asks it to stop; its exit code.
  int Stop(int signal_number = SIGTERM) {
    process_.Signal(signal_number);
    return process_.Wait();
  }

 private:
  static std::vector<std::string> Args(int port, std::vector<std::string> extra) {
    std::vector<std::string> args = {"--port", std::to_string(port)};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  ChildProcess process_;
  std::string line_;
  int port_ = 0;
};

}  // namespace rktest

#endif  // RKSERVICE_TESTS_RK_KIVVET_TEST_SUPPORT_H_
