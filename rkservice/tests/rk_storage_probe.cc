// A program linked against the shipped librkservice.so. The tests copy it and
// the library into folders of their own to see where the store looks for its
// engine library, and kill it while it writes.
//
//   rk_storage_probe retry DB ENGINE   operations fail, ENGINE is copied beside
//                                      the service library, they succeed
//   rk_storage_probe ops DB            every operation once, with its result
//   rk_storage_probe write DB FIRST    Set in a loop from N = FIRST on: "key-N",
//                                      then "slot-0" to "slot-3" overwritten with
//                                      the same value; prints "done N" once every
//                                      Set returned true
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "rk_storage.h"

namespace {

using rkservice::rkstorage::RkStorage;

constexpr int kSlots = 4;

void Print(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

std::string Flag(bool value) { return value ? "1" : "0"; }

// Several pages long: an overwrite lasts long enough for kills to land in it.
std::vector<uint8_t> WriteValue(long n) {
  std::vector<uint8_t> value(8192);
  for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<uint8_t>((n * 31 + i) % 251);
  return value;
}

int Retry(const std::string& db, const std::string& engine) {
  std::vector<uint8_t> value;
  {
    RkStorage store(db, "open-arg");
    Print("load " + Flag(store.Load()));
    Print("set " + Flag(store.Set("k", {1, 2})));
    Print("get " + Flag(store.Get("k", value)));

    const std::filesystem::path folder = std::filesystem::canonical("/proc/self/exe").parent_path();
    std::filesystem::copy_file(engine, folder / "librkdb.so");
    Print("copied");
    Print("load " + Flag(store.Load()));
    Print("set " + Flag(store.Set("k", {1, 2})));
    const bool got = store.Get("k", value);
    Print("get " + Flag(got) + " " + std::to_string(value.size()));

    // Loaded once: later stores do not look for the file again.
    std::filesystem::remove(folder / "librkdb.so");
    Print("removed");
  }
  RkStorage later(db, "open-arg");
  Print("load " + Flag(later.Load()));
  const bool got = later.Get("k", value);
  Print("get " + Flag(got) + " " + std::to_string(value.size()));
  return 0;
}

int Operations(const std::string& db) {
  RkStorage store(db, "open-arg");
  std::vector<uint8_t> value;
  std::map<std::string, std::vector<uint8_t>> all;
  Print("Load " + Flag(store.Load()));
  Print("Get " + Flag(store.Get("k", value)));
  Print("Set " + Flag(store.Set("k", {1})));
  Print("SetWithSync " + Flag(store.SetWithSync("k", {1})));
  Print("DeleteWithSync " + Flag(store.DeleteWithSync("k")));
  Print("DeleteAllSynced " + Flag(store.DeleteAllSynced()));
  Print("ClearNoSyncTable " + Flag(store.ClearNoSyncTable()));
  Print("Delete " + Flag(store.Delete("k")));
  Print("GetAll " + Flag(store.GetAll(all)));
  store.BeginTransaction();
  Print("CommitTransaction " + std::to_string(store.CommitTransaction()));
  Print("RollbackTransaction " + std::to_string(store.RollbackTransaction()));
  return 0;
}

int Write(const std::string& db, long first) {
  RkStorage store(db, "open-arg");
  if (!store.Load()) return 2;
  for (long n = first;; ++n) {
    const std::vector<uint8_t> value = WriteValue(n);
    if (!store.Set("key-" + std::to_string(n), value)) return 3;
    // An overwrite killed halfway must leave the old value or the new one.
    for (int slot = 0; slot < kSlots; ++slot) {
      if (!store.Set("slot-" + std::to_string(slot), value)) return 3;
    }
    Print("done " + std::to_string(n));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "retry" && argc == 4) return Retry(argv[2], argv[3]);
  if (mode == "ops" && argc == 3) return Operations(argv[2]);
  if (mode == "write" && argc == 4) return Write(argv[2], std::atol(argv[3]));
  std::fputs("usage: rk_storage_probe retry DB ENGINE | ops DB | write DB FIRST\n", stderr);
  return 1;
}
