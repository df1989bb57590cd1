// The quick-access benchmark's driver (run through bench/qa/run.sh), against
// a service already serving on 127.0.0.1:
//   rk_qa_bench prepare   --port P --out DIR   stores a 200-site tree and 1,000
//                                              keys for the user "bench"; writes
//                                              the replies of GET qa and GET sync
//                                              to DIR/qa.body and DIR/sync.body
//   rk_qa_bench fetch     --port P --path X    prints the body of GET X
//   rk_qa_bench roundtrip --port P --runs N    times export + import of the
//                                              1,000 keys, N times
//   rk_qa_bench import    --port P --runs N    times POST /quickaccess/sync of
//                         [--mb M]             an M MB document (20) against a
//                                              plain nlohmann-json parse of the
//                                              same bytes, N times
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "handlers/rk_qa_sync_document.h"
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

// An ASCII text as a sync document carries it: Base64 of its UTF-16LE bytes.
std::string EncodedText(const char* text) {
  std::string bytes;
  for (const char* p = text; *p != '\0'; ++p) {
    bytes.push_back(*p);
    bytes.push_back('\0');
  }
  return rkservice::Base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
}

// 1,000 keys of 40-character texts, as Base64 of their UTF-16LE bytes.
std::string KeysDocument() {
  std::string data;
  for (int k = 0; k < kKeys; ++k) {
    char text[64];
    std::snprintf(text, sizeof(text), "value number %04d of the benchmark keys.", k);
    const std::string encoded = EncodedText(text);
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

void PrintTimes(const char* what, const std::vector<double>& ms) {
  std::printf("  %-56s median %8.2f ms   max %8.2f ms\n", what, Median(ms), *std::max_element(ms.begin(), ms.end()));
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
  std::printf("export + import of %d keys over HTTP, %d runs (one connection each request):\n", kKeys + 1, runs);
  PrintTimes("GET /quickaccess/sync (export)", export_ms);
  PrintTimes("POST /quickaccess/sync into a new user", import_new_ms);
  PrintTimes("POST /quickaccess/sync into the same user", import_same_ms);
  PrintTimes("round trip (export + import, new user)", total_new_ms);
  const double median = Median(total_new_ms);
  std::printf("target: round trip under 100 ms: %s (median %.2f ms)\n", median < 100 ? "met" : "NOT met", median);
  return 0;
}

// About `bytes` of sync document of many small items, as a store of many
// short values exports them: the shape whose cost grew with the square of
// the item count while the depth was checked by a parser callback.
std::string LargeDocument(size_t bytes) {
  std::string document = "{\"app\":\"rkfas\",\"data\":[";
  char key[32];
  for (int k = 0; document.size() < bytes; ++k) {
    char text[64];
    std::snprintf(text, sizeof(text), "short value %07d", k);
    std::snprintf(key, sizeof(key), "key.%07d", k);
    document += std::string(k == 0 ? "" : ",") + "{\"key\":\"" + key + "\",\"value\":\"" + EncodedText(text) +
                "\",\"value_type\":\"binary\"}";
  }
  return document + "],\"ver\":1}";
}

// The import route against the bare reader, run by run: a parse of the
// document; the import's own reading of it in this process (the strict
// reader with its depth limit, and the items decoded); the document posted
// to a path without a route (what carrying it costs); then posted to a new
// user (every key written) and once more to that user (every key compared,
// none written).
int ImportLarge(int port, int runs, int megabytes) {
  const std::string document = LargeDocument(static_cast<size_t>(megabytes) << 20);
  const size_t items = nlohmann::json::parse(document)["data"].size();
  std::vector<double> parse_ms, read_ms, carry_ms, new_ms, same_ms;
  for (int run = 0; run < runs; ++run) {
    const std::string user = "import" + std::to_string(run);
    // The tree is freed inside the timing, as the import frees its own.
    const auto t0 = Clock::now();
    const bool parsed = nlohmann::json::parse(document).is_object();
    const auto t1 = Clock::now();
    std::vector<rkservice::RkQASyncItem> read;
    std::string error;
    const auto status = rkservice::RkQASyncDocument::Import(document, &read, &error);
    const auto t2 = Clock::now();
    const rktest::HttpReply carried = Send(port, "POST", "/quickaccess/no_route", user, document);
    const auto t3 = Clock::now();
    const rktest::HttpReply fresh = Send(port, "POST", "/quickaccess/sync?notify=0", user, document);
    const auto t4 = Clock::now();
    const rktest::HttpReply same = Send(port, "POST", "/quickaccess/sync?notify=0", user, document);
    const auto t5 = Clock::now();
    if (!parsed || status != rkservice::RkQASyncDocument::Status::kOk || read.size() != items ||
        carried.status != 404 || fresh.status != 200 || same.status != 200) {
      return Fail("import " + std::to_string(run) + ": " + std::to_string(carried.status) + " " +
                  std::to_string(fresh.status) + " " + std::to_string(same.status) + " " + error +
                  fresh.body.substr(0, 200) + same.body.substr(0, 200));
    }
    parse_ms.push_back(Ms(t1 - t0));
    read_ms.push_back(Ms(t2 - t1));
    carry_ms.push_back(Ms(t3 - t2));
    new_ms.push_back(Ms(t4 - t3));
    same_ms.push_back(Ms(t5 - t4));
  }
  std::printf("import of a %.1f MB document (%zu items) through POST /quickaccess/sync, %d runs:\n",
              document.size() / 1048576.0, items, runs);
  PrintTimes("nlohmann::json::parse of the same bytes (bare reader)", parse_ms);
  PrintTimes("the import's reading of the document, in this process", read_ms);
  PrintTimes("POST of the same bytes to a path without a route (404)", carry_ms);
  PrintTimes("POST /quickaccess/sync into a new user (all written)", new_ms);
  PrintTimes("POST /quickaccess/sync again (all compared, none written)", same_ms);
  const double bare = Median(parse_ms);
  const double written = Median(new_ms) / bare;
  std::printf("ratio to the bare parse: reading %.2f, route into a new user %.2f, route again %.2f\n",
              Median(read_ms) / bare, written, Median(same_ms) / bare);
  std::printf("target: import through the route within 2x of the bare parse: %s (%.2f)\n",
              written <= 2 ? "met" : "NOT met", written);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string usage =
      "usage: rk_qa_bench prepare --port P --out DIR | fetch --port P --path X | roundtrip --port P --runs N"
      " | import --port P --runs N [--mb M]";
  if (argc < 2) return Fail(usage);
  const std::string mode = argv[1];
  int port = 0;
  int runs = 20;
  int megabytes = 20;
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
    } else if (option == "--mb") {
      megabytes = std::max(1, std::atoi(argv[i + 1]));
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
  if (mode == "import") return ImportLarge(port, runs, megabytes);
  return Fail(usage);
}
