// Loads the SQL engine library from the service library's own folder (never
// from the process's current folder, which any writer of it could plant code
// in) and hands out its database objects.
#ifndef RKSERVICE_SRC_STORAGE_RK_DB_LIBRARY_H_
#define RKSERVICE_SRC_STORAGE_RK_DB_LIBRARY_H_

#include <atomic>
#include <filesystem>
#include <mutex>

#include "rkdb/rk_db_interface.h"

namespace rkservice {

// The engine library's file name; the one place it is written.
inline constexpr char kRkDbLibraryName[] = "librkdb.so";

class RkDbLibrary {
 public:
  virtual ~RkDbLibrary();

  // The process-wide object, made once on first use.
  static RkDbLibrary* CreateInstance();

  // Loads the library unless it is loaded. One thread loads while the others
  // wait; a failed load is tried again by the next call.
  bool Load();
  // Loads first if needed; then what the library's factory reports.
  bool CreateDb(rkdb::RkDbObject** db);
  void DeleteDb(rkdb::RkDbObject** db);

  static std::filesystem::path LibraryPath();

 private:
  struct Record {
    void* module;
    rkdb::RkDbCreateFn create;
    rkdb::RkDbDeleteFn destroy;
  };

  RkDbLibrary() = default;
  bool EnsureLoaded();

  std::atomic<bool> loaded_{false};
  // Written once under load_mutex_ before loaded_ is set; never released.
  Record* record_ = nullptr;
  std::mutex load_mutex_;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_STORAGE_RK_DB_LIBRARY_H_
