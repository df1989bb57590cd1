// A host that ends the way a careless browser may: it loads the shipped
// library, starts a service, puts it to work and then leaves the process,
// by exit or by returning from main, without releasing the service.
//
//   rk_exit_host saves|flood exit|return ROOT
//
// saves: three users save notes with 8 images each that the host's image
// server holds; once all 24 downloads wait, it lets the images go and
// leaves while they come in. flood: 24 threads send
// requests, each for a user not seen before; it leaves once 500 were
// answered. It prints "leaving" just before it leaves, and exits 0.
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "rk_image_test_server.h"
#include "rk_test_http.h"
#include "rkservice.h"

namespace {

constexpr int kSavers = 3;
constexpr int kImagesPerSave = 8;
constexpr int kFlooders = 24;
constexpr int kFloodAnswers = 500;

// Static: the clients outlive main when it returns.
std::atomic<int> g_answered{0};
std::atomic<int> g_next_user{0};
rktest::ImageTestServer* g_images = nullptr;

int Fail(const char* what) {
  std::fprintf(stderr, "rk_exit_host: %s\n", what);
  return 3;
}

std::string NoteWithImages(const rktest::ImageTestServer& images, int saver) {
  std::string html;
  for (int i = 0; i < kImagesPerSave; ++i) {
    html += "<img src=\\\"" + images.Url("/held" + std::to_string(saver) + "-" + std::to_string(i) + ".png") + "\\\">";
  }
  return R"({"id":"00000001-0000-0000-0000-000000000000","content":")" + html + R"("})";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return Fail("usage: rk_exit_host saves|flood exit|return ROOT");
  const std::string scenario = argv[1];
  const bool by_exit = std::strcmp(argv[2], "exit") == 0;
  const std::string root = argv[3];

  void* library = dlopen(RK_OUTPUT_DIR "/librkservice.so", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return Fail(dlerror());
  const auto add = reinterpret_cast<decltype(&::AddRkService)>(dlsym(library, "AddRkService"));
  const auto start = reinterpret_cast<decltype(&::StartRkService)>(dlsym(library, "StartRkService"));
  const auto free_memory = reinterpret_cast<decltype(&::FreeMemory)>(dlsym(library, "FreeMemory"));
  if (add == nullptr || start == nullptr || free_memory == nullptr) return Fail("missing export");

  const int port = rktest::FreeLoopbackPort();
  const std::string port_text = std::to_string(port);
  // Notifications go nowhere: nothing listens on the discard port.
  const RkServiceDesc desc = {"exit", port_text.c_str(), root.c_str(), 1, "http://127.0.0.1:9/notify"};
  char* address = nullptr;
  int length = 0;
  if (!add(&desc) || !start("exit", &address, &length)) return Fail("service did not start");
  free_memory(reinterpret_cast<void**>(&address));

  // Clients run on until the process ends; they are detached so that a
  // return from main leaves them be.
  g_images = new rktest::ImageTestServer();
  rktest::ImageTestServer* const images = g_images;
  rktest::ImageReply held;
  held.mode = rktest::ImageReply::Mode::kHold;
  if (scenario == "saves") {
    for (int saver = 0; saver < kSavers; ++saver) {
      for (int i = 0; i < kImagesPerSave; ++i) {
        held.body = "image " + std::to_string(saver) + "-" + std::to_string(i);
        images->Set("/held" + std::to_string(saver) + "-" + std::to_string(i) + ".png", held);
      }
      const std::string raw = rktest::BuildRequest(
          "POST", "/kivvet/content", {{"UserName", "saver" + std::to_string(saver)}, {"Content-Type", "text/plain"}},
          NoteWithImages(*images, saver));
      std::thread([port, raw] { rktest::Exchange(port, raw, 600000); }).detach();
    }
    if (!images->WaitForInFlight(kSavers * kImagesPerSave)) return Fail("the downloads did not all start");
    images->Release();
  } else if (scenario == "flood") {
    for (int i = 0; i < kFlooders; ++i) {
      std::thread([port] {
        for (;;) {
          const int user = g_next_user++;
          const std::string target = user % 2 == 0 ? "/tesselfill/card/all?type=account" : "/account/list";
          if (rktest::Request(port, "GET", target, {{"UserName", "u" + std::to_string(user)}}).status != 0) {
            ++g_answered;
          }
        }
      }).detach();
    }
    while (g_answered < kFloodAnswers) std::this_thread::yield();
  } else {
    return Fail("unknown scenario");
  }
  std::printf("leaving\n");
  std::fflush(stdout);
  if (by_exit) std::exit(0);
  return 0;
}
