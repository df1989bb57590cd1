// Notes folder-listing benchmark: a store of N url notes in folders (made by
// the notes engine libRkKivvet.so itself), then
//   - the engine's own GetNodesUnder(root) call, in this process;
//   - GET /kivvet/allurlnotes?with_folder=1 through the running service
//     (librkservice.so loaded with dlopen, started through its flat
//     interface, real HTTP on 127.0.0.1, one request at a time),
// each timed over many runs; p50 and p99 of each, side by side. Then a note
// save with images: POST /kivvet/content of a note whose HTML holds 24 images
// from a loopback server that answers each after 50 ms, through the service,
// against the same 24 downloads made by one libcurl multi handle alone, the
// two alternating run by run.
//
//   rk_notes_bench [runs] [notes ...]        (default: 40 runs, 1000 10000 notes)
#include <curl/curl.h>
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
#include "rk_image_test_server.h"
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
double Millis(Run run) {
  const auto start = Clock::now();
  run();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

template <typename Run>
Figures Time(int runs, Run run) {
  run();  // warm
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) ms.push_back(Millis(run));
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

constexpr int kSaveImages = 24;
constexpr std::chrono::milliseconds kImageDelay{50};

std::string ImagePath(int i) { return "/img" + std::to_string(i) + ".png"; }

size_t AppendBody(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// The baseline: every image in one multi handle, driven until all ended.
bool MultiDownloads(const rktest::ImageTestServer& images) {
  CURLM* multi = curl_multi_init();
  std::vector<CURL*> handles;
  std::vector<std::string> bodies(kSaveImages);
  for (int i = 0; i < kSaveImages; ++i) {
    CURL* handle = curl_easy_init();
    const std::string url = images.Url(ImagePath(i));
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &AppendBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &bodies[i]);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_PROXY, "");
    curl_multi_add_handle(multi, handle);
    handles.push_back(handle);
  }
  for (int running = 1; running > 0;) {
    curl_multi_perform(multi, &running);
    if (running > 0) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }
  bool ok = true;
  for (size_t i = 0; i < handles.size(); ++i) {
    long status = 0;
    curl_easy_getinfo(handles[i], CURLINFO_RESPONSE_CODE, &status);
    ok = ok && status == 200 && !bodies[i].empty();
    curl_multi_remove_handle(multi, handles[i]);
    curl_easy_cleanup(handles[i]);
  }
  curl_multi_cleanup(multi);
  return ok;
}

struct SaveFigures {
  Figures service;
  Figures multi;
};

// A store holding one url note, made by the engine; its id.
bool MakeNote(const rktest::KivvetLibrary& library, const fs::path& store, std::string* id) {
  rktest::Engine engine(library);
  fs::create_directories(store.parent_path());
  const rkkivvet::RkGuid root = rktest::Guid(rktest::kRoot);
  const rkkivvet::RkGuid note = NodeId(3, 1);
  *id = rktest::Text(note);
  return engine.ok() && engine.Open(store) &&
         engine->CreateNote(&root, u"images", 0, 0, u"https://example.test/images", u"", u"", -1, &note, false);
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

  // The note save with images.
  SaveFigures save;
  {
    std::string id;
    if (!MakeNote(engine, work / "save" / kUser / "Kivvet" / "Kivvet.dat", &id)) return Fail("no note to save");
    rktest::ImageTestServer images;
    std::string html;
    for (int i = 0; i < kSaveImages; ++i) {
      rktest::ImageReply reply{200, "image/png", std::string(1024, static_cast<char>('a' + i % 26)) + std::to_string(i)};
      reply.delay = kImageDelay;
      images.Set(ImagePath(i), reply);
      html += "<p>" + std::to_string(i) + "</p><img src=\\\"" + images.Url(ImagePath(i)) + "\\\">";
    }
    const std::string body = "{\"id\":\"" + id + "\",\"content\":\"" + html + "\"}";
    const std::string port = std::to_string(rktest::FreeLoopbackPort());
    const std::string root_text = (work / "save").string();
    const RkServiceDesc desc = {"benchsave", port.c_str(), root_text.c_str(), 1, "http://127.0.0.1:9"};
    char* address = nullptr;
    int length = 0;
    if (!add(&desc) || !start("benchsave", &address, &length)) return Fail("the service did not start");
    free_memory(reinterpret_cast<void**>(&address));
    bool all_ok = true;
    auto save_once = [&] {
      const rktest::HttpReply reply = rktest::Request(
          std::stoi(port), "POST", "/kivvet/content", {{"UserName", kUser}, {"Content-Type", "application/json"}},
          body);
      all_ok = all_ok && reply.status == 200;
    };
    auto multi_once = [&] { all_ok = MultiDownloads(images) && all_ok; };
    save_once();  // warm: the first request makes the user's notes handler
    multi_once();
    std::vector<double> service_ms, multi_ms;
    for (int i = 0; i < runs; ++i) {
      service_ms.push_back(Millis(save_once));
      multi_ms.push_back(Millis(multi_once));
    }
    const rktest::HttpReply data =
        rktest::Request(std::stoi(port), "GET", "/kivvet/get_notedata?id=" + id, {{"UserName", kUser}});
    size_t stored = 0;
    for (size_t at = data.body.find("ResCache"); at != std::string::npos; at = data.body.find("ResCache", at + 1)) {
      ++stored;
    }
    remove("benchsave");
    if (!all_ok) return Fail("a save or a download failed");
    if (stored != kSaveImages || data.body.find(images.Url("/img")) != std::string::npos) {
      return Fail("the save did not store every image: " + data.body.substr(0, 300));
    }
    save = {Percentiles(service_ms), Percentiles(multi_ms)};
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
  const double save_ratio = save.service.p50_ms / save.multi.p50_ms;
  std::fprintf(g_report,
               "\nNote save with %d images, each answered after %lld ms by a loopback server (a connection per image):\n"
               "POST /kivvet/content through the service (every image stored and rewritten) vs the same %d downloads\n"
               "by one libcurl multi handle alone; %d runs each, alternating, after one warm-up\n\n",
               kSaveImages, static_cast<long long>(kImageDelay.count()), kSaveImages, runs);
  std::fprintf(g_report, "%-34s | %17s\n", "", "p50/p99 ms");
  std::fprintf(g_report, "%-34s | %7.2f / %7.2f\n", "service: save with downloads", save.service.p50_ms,
               save.service.p99_ms);
  std::fprintf(g_report, "%-34s | %7.2f / %7.2f\n", "one libcurl multi handle alone", save.multi.p50_ms,
               save.multi.p99_ms);
  std::fprintf(g_report, "ratio service/multi p50: %.2f (<= 1.5: %s)\n", save_ratio,
               save_ratio <= 1.5 ? "met" : "NOT met");

  std::fflush(g_report);
  return 0;
}
