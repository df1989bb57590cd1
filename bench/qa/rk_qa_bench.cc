// The quick-access benchmark's driver (run through bench/qa/run.sh), against
// a service already serving on 127.0.0.1:
//   rk_qa_bench prepare   --port P --out DIR   stores a 200-site tree and 1,000
//                                              keys for the user "bench"; writes
//                                              the replies of GET qa and GET sync
//                                              to DIR/qa.body and DIR/sync.body
//   rk_qa_bench fetch     --port P --path X    prints the body of GET X
//   rk_qa_bench roundtrip --port P --runs N    times export + import of the
//                                              1,000 keys, N times
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "rk_test_http.h"
#include "rk_utils.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kUser[] = "bench";
constexpr int kSites = 200;
constexpr int kKeys = 1000;

int Fail(const std::string& why) {
  std::cerr << "rk_qa_bench: " << why << std::endl;
  return 1;
}

rktest::HttpReply Send(int port, const std::string& method, const std::string& target, const std::string& user,
                       const std::string& body = {}) {
  return rktest::Request(port, method, target, {{"UserName", user}, {"Content-Type", "application/json"}}, body);
}

// 200 sites: 160 at the top, 40 in four folders of ten.
std::string SiteTree() {
  std::string tree = "[";
  char item[256];
  for (int i = 0; i < 160; ++i) {
    std::snprintf(item, sizeof(item), "%s{\"title\":\"Site %d\",\"url\":\"https://www.example%d.com/start/page\"}",
                  i == 0 ? "" : ",", i, i);
    tree += item;
  }
  for (int f = 0; f < 4; ++f) {
    std::snprintf(item, sizeof(item), ",{\"children\":[");
    tree += item;
    for (int c = 0; c < 10; ++c) {
      std::snprintf(item, sizeof(item), "%s{\"title\":\"Child %d.%d\",\"url\":\"https://child%d.example.org/%d\"}",
                    c == 0 ? "" : ",", f, c, f, c);
      tree += item;
    }
    std::snprintf(item, sizeof(item), "],\"folderId\":\"00000000-0000-4000-8000-00000000000%d\",\"title\":\"Folder %d\"}",
                  f, f);
    tree += item;
  }
  return tree + "]";
}

// 1,000 keys of 40-character texts, as Base64 of their UTF-16LE bytes.
std::string KeysDocument() {
  std::string data;
  for (int k = 0; k < kKeys; ++k) {
    char text[64];
    std::snprintf(text, sizeof(text), "value number %04d of the benchmark keys.", k);
    std::string bytes;
    for (const char* p = text; *p != '\0'; ++p) {
      bytes.push_back(*p);
      bytes.push_back('\0');
    }
    const std::string encoded =
        rkservice::Base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
    char key[32];
    std::snprintf(key, sizeof(key), "key.%04d", k);
    data += std::string(k == 0 ? "" : ",") + "{\"key\":\"" + key + "\",\"value\":\"" + encoded +
            "\",\"value_type\":\"binary\"}";
  }
  return "{\"app\":\"rkfas\",\"data\":[" + data + "],\"ver\":1}";
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  return static_cast<bool>(out);
}

int Prepare(int port, const std::string& out) {
  const std::string tree = SiteTree();
  rktest::HttpReply reply = Send(port, "POST", "/quickaccess/qa", kUser, tree);
  if (reply.status != 200) return Fail("storing the tree: " + std::to_string(reply.status) + " " + reply.body);
  reply = Send(port, "POST", "/quickaccess/sync?notify=0", kUser, KeysDocument());
  if (reply.status != 200) return Fail("storing the keys: " + std::to_string(reply.status) + " " + reply.body);
  const rktest::HttpReply qa = Send(port, "GET", "/quickaccess/qa", kUser);
  const rktest::HttpReply sync = Send(port, "GET", "/quickaccess/sync", kUser);
  if (qa.status != 200 || qa.body != tree) return Fail("the stored tree reads back otherwise");
  if (sync.status != 200) return Fail("export: " + std::to_string(sync.status));
  if (!WriteFile(out + "/qa.body", qa.body) || !WriteFile(out + "/sync.body", sync.body)) {
    return Fail("cannot write to " + out);
  }
  std::cout << "prepared: tree " << qa.body.size() << " bytes (" << kSites << " sites), export " << sync.body.size()
            << " bytes (" << kKeys + 1 << " keys)" << std::endl;
  return 0;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Export of the user's store, then import of it: into a new user (every key
// written) and back into the same user (every key compared, none written).
int RoundTrip(int port, int runs) {
  std::vector<double> export_ms, import_new_ms, import_same_ms, total_new_ms;
  for (int run = 0; run < runs; ++run) {
    const auto t0 = Clock::now();
    const rktest::HttpReply exported = Send(port, "GET", "/quickaccess/sync", kUser);
    const auto t1 = Clock::now();
    const rktest::HttpReply fresh =
        Send(port, "POST", "/quickaccess/sync", "copy" + std::to_string(run), exported.body);
    const auto t2 = Clock::now();
    const rktest::HttpReply same = Send(port, "POST", "/quickaccess/sync", kUser, exported.body);
    const auto t3 = Clock::now();
    if (exported.status != 200 || fresh.status != 200 || same.status != 200) {
      return Fail("round trip " + std::to_string(run) + ": " + std::to_string(exported.status) + " " +
                  std::to_string(fresh.status) + " " + std::to_string(same.status) + " " + fresh.body + same.body);
    }
    export_ms.push_back(Ms(t1 - t0));
    import_new_ms.push_back(Ms(t2 - t1));
    import_same_ms.push_back(Ms(t3 - t2));
    total_new_ms.push_back(Ms(t2 - t0));
  }
  const auto line = [](const char* what, const std::vector<double>& v) {
    std::printf("  %-42s median %7.2f ms   max %7.2f ms\n", what, Median(v), *std::max_element(v.begin(), v.end()));
  };
  std::printf("export + import of %d keys over HTTP, %d runs (one connection each request):\n", kKeys + 1, runs);
  line("GET /quickaccess/sync (export)", export_ms);
  line("POST /quickaccess/sync into a new user", import_new_ms);
  line("POST /quickaccess/sync into the same user", import_same_ms);
  line("round trip (export + import, new user)", total_new_ms);
  const double median = Median(total_new_ms);
  std::printf("target: round trip under 100 ms: %s (median %.2f ms)\n", median < 100 ? "met" : "NOT met", median);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string usage =
      "usage: rk_qa_bench prepare --port P --out DIR | fetch --port P --path X | roundtrip --port P --runs N";
  if (argc < 2) return Fail(usage);
  const std::string mode = argv[1];
  int port = 0;
  int runs = 20;
  std::string out, path;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--port") {
      port = std::atoi(argv[i + 1]);
    } else if (option == "--runs") {
      runs = std::max(1, std::atoi(argv[i + 1]));
    } else if (option == "--out") {
      out = argv[i + 1];
    } else if (option == "--path") {
      path = argv[i + 1];
    } else {
      return Fail(usage);
    }
  }
  if (port <= 0) return Fail(usage);
  if (mode == "prepare" && !out.empty()) return Prepare(port, out);
  if (mode == "fetch" && !path.empty()) {
    const rktest::HttpReply reply = Send(port, "GET", path, kUser);
    if (reply.status != 200) return Fail("GET " + path + ": " + std::to_string(reply.status));
    std::cout << reply.body;
    return 0;
  }
  if (mode == "roundtrip") return RoundTrip(port, runs);
  return Fail(usage);
}
