// Notes folder-listing benchmark: a store of N url notes in folders (made by
// the notes engine libRkKivvet.so itself), then
//   - the engine's own GetNodesUnder(root) call, in this process;
//   - GET /kivvet/allurlnotes?with_folder=1 through the running service
//     (librkservice.so loaded with dlopen, started through its flat
//     interface, real HTTP on 127.0.0.1, one request at a time),
// each timed over many runs; p50 and p99 of each, side by side.
//
//   rk_notes_bench [runs] [notes ...]        (default: 40 runs, 1000 10000 notes)
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kivvet/rk_kivvet_interface.h"
#include "rk_kivvet_test_support.h"
#include "rk_test_http.h"
#include "rkservice.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kNotesPerFolder = 50;
constexpr int kFoldersPerGroup = 10;
constexpr char kUser[] = "bench";

// Distinct ids per kind of node: group folder, folder, note.
rkkivvet::RkGuid NodeId(uint32_t kind, uint32_t n) {
  rkkivvet::RkGuid id{};
  id.data1 = n;
  id.data2 = static_cast<uint16_t>(kind);
  return id;
}


struct Figures {
  double p50_ms = 0;
  double p99_ms = 0;
};

Figures Percentiles(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  const auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<size_t>(q * (ms.size() - 1) + 0.5))]; };
  return {at(0.50), at(0.99)};
}

template <typename Run>
Figures Time(int runs, Run run) {
  run();  // warm
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    run();
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return Percentiles(ms);
}

// The figures go here; the service's own prints (thread ids, debugger texts)
// on standard output and error are dropped.
FILE* g_report = stdout;

void QuietService() {
  std::fflush(stdout);
  g_report = fdopen(dup(STDOUT_FILENO), "w");
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, STDOUT_FILENO);
  dup2(null, STDERR_FILENO);
  close(null);
}

int Fail(const std::string& why) {
  std::fprintf(g_report, "rk_notes_bench: %s\n", why.c_str());
  return 1;
}

// Groups of folders of url notes: N / 50 folders of 50 notes, 10 folders
// per group folder; the engine makes them. Returns the engine's own timing.
bool FillAndTime(const rktest::KivvetLibrary& library, const fs::path& store, int notes, int runs,
                 Figures* engine_figures, size_t* bytes) {
  rktest::Engine engine(library);
  fs::create_directories(store.parent_path());
  bool ok = engine.ok() && engine.Open(store);
  const rkkivvet::RkGuid root = rktest::Guid(rktest::kRoot);
  const int folders = (notes + kNotesPerFolder - 1) / kNotesPerFolder;
  for (int f = 0; ok && f < folders; ++f) {
    const rkkivvet::RkGuid group = NodeId(1, f / kFoldersPerGroup + 1), folder = NodeId(2, f + 1);
    if (f % kFoldersPerGroup == 0) {
      const std::u16string name = rktest::U16("group " + std::to_string(f / kFoldersPerGroup));
      ok = engine->CreateFolder(&root, name.c_str(), 0, 0, &group, false);
    }
    const std::u16string name = rktest::U16("folder " + std::to_string(f));
    ok = ok && engine->CreateFolder(&group, name.c_str(), 0, 0, &folder, false);
    for (int n = f * kNotesPerFolder; ok && n < std::min(notes, (f + 1) * kNotesPerFolder); ++n) {
      const rkkivvet::RkGuid note = NodeId(3, n + 1);
      const std::u16string title = rktest::U16("note " + std::to_string(n));
      const std::u16string url = rktest::U16("https://example.test/page/" + std::to_string(n));
      ok = engine->CreateNote(&folder, title.c_str(), 0, 0, url.c_str(), u"", u"", -1, &note, false);
    }
  }
  rktest::ByteSink sink;
  if (ok) {
    *engine_figures = Time(runs, [&] {
      sink.Clear();
      engine->GetNodesUnder(&root, &sink);
    });
    *bytes = sink.Text().size();
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(5, std::atoi(argv[1])) : 40;
  std::vector<int> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {1000, 10000};

  QuietService();
  const fs::path dir = fs::read_symlink("/proc/self/exe").parent_path();
  const rktest::KivvetLibrary engine((dir / "libRkKivvet.so").string());
  if (!engine.ok()) return Fail("no notes engine: " + engine.error());
  void* service = dlopen((dir / "librkservice.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (service == nullptr) return Fail(dlerror());
  auto add = reinterpret_cast<decltype(&::AddRkService)>(dlsym(service, "AddRkService"));
  auto start = reinterpret_cast<decltype(&::StartRkService)>(dlsym(service, "StartRkService"));
  auto remove = reinterpret_cast<decltype(&::RemoveRkService)>(dlsym(service, "RemoveRkService"));
  auto free_memory = reinterpret_cast<decltype(&::FreeMemory)>(dlsym(service, "FreeMemory"));
  if (!add || !start || !remove || !free_memory) return Fail("missing export");

  const fs::path work = fs::temp_directory_path() / ("rk_notes_bench_" + std::to_string(getpid()));
  std::fprintf(g_report, "Notes folder listing: GET /kivvet/allurlnotes?with_folder=1 through the service vs the engine's own\n"
              "GetNodesUnder(root) in this process, on the same store\n");
  std::fprintf(g_report, "store: url notes, %d per folder, %d folders per group folder under the root; %d timed runs each\n"
              "(after one warm-up), one request at a time over loopback, a new connection per request\n\n",
              kNotesPerFolder, kFoldersPerGroup, runs);
  std::fprintf(g_report, "%7s | %9s | %17s | %17s | %11s\n", "notes", "tree KiB", "engine p50/p99 ms", "service p50/p99 ms",
              "svc/engine");
  std::vector<Figures> service_figures;
  for (const int notes : sizes) {
    const fs::path root = work / std::to_string(notes);
    Figures engine_figures;
    size_t bytes = 0;
    if (!FillAndTime(engine, root / kUser / "Kivvet" / "Kivvet.dat", notes, runs, &engine_figures, &bytes)) {
      return Fail("the engine did not make the store");
    }
    const std::string name = "bench" + std::to_string(notes);
    const std::string port = std::to_string(rktest::FreeLoopbackPort());
    const std::string root_text = root.string();
    const RkServiceDesc desc = {name.c_str(), port.c_str(), root_text.c_str(), 1, "http://127.0.0.1:9"};
    char* address = nullptr;
    int length = 0;
    if (!add(&desc) || !start(name.c_str(), &address, &length)) return Fail("the service did not start");
    free_memory(reinterpret_cast<void**>(&address));
    bool all_ok = true;
    size_t reply_bytes = 0;
    const Figures figures = Time(runs, [&] {
      const rktest::HttpReply reply = rktest::Request(std::stoi(port), "GET", "/kivvet/allurlnotes?with_folder=1",
                                                      {{"UserName", kUser}});
      all_ok = all_ok && reply.status == 200;
      reply_bytes = reply.body.size();
    });
    remove(name.c_str());
    if (!all_ok || reply_bytes < static_cast<size_t>(notes) * 100) return Fail("the service answered badly");
    service_figures.push_back(figures);
    std::fprintf(g_report, "%7d | %9zu | %7.2f / %7.2f | %7.2f / %7.2f | %10.1fx\n", notes, bytes / 1024, engine_figures.p50_ms,
                engine_figures.p99_ms, figures.p50_ms, figures.p99_ms, figures.p50_ms / engine_figures.p50_ms);
  }
  std::error_code ec;
  fs::remove_all(work, ec);

  std::fprintf(g_report, "\ntargets (service):\n");
  for (size_t i = 0; i < sizes.size(); ++i) {
    if (sizes[i] == 10000) {
      std::fprintf(g_report, "  10,000 notes p50 %.2f ms (< 50 ms: %s)\n", service_figures[i].p50_ms,
                  service_figures[i].p50_ms < 50 ? "met" : "NOT met");
    }
  }
  if (sizes.size() >= 2) {
    const double growth = service_figures.back().p50_ms / service_figures.front().p50_ms;
    const double size_ratio = static_cast<double>(sizes.back()) / sizes.front();
    std::fprintf(g_report, "  growth p50 %d / %d notes: %.1fx for %.0fx the notes (<= 12x: %s)\n", sizes.back(), sizes.front(),
                growth, size_ratio, growth <= 12 ? "met" : "NOT met");
  }
  std::fflush(g_report);
  return 0;
}
