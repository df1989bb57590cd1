// rkhost plays the browser: it loads the service library at run time, adds and
// starts one service through the flat interface, and serves until Ctrl-C.
#include <dlfcn.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

#include "rk_demo_peer.h"
#include "rk_notify_endpoint.h"
#include "rkservice.h"

namespace {

namespace fs = std::filesystem;

constexpr char kServiceName[] = "demo";
constexpr char kLibraryName[] = "librkservice.so";
constexpr char kPeerName[] = "rk_kivvet_peer";

constexpr char kUsage[] =
    "Usage: rkhost [options]\n"
    "Plays the browser: loads librkservice.so from the folder of this program,\n"
    "adds and starts the service \"demo\" and serves until Ctrl-C. Runs its own\n"
    "notes sync peer (rk_kivvet_peer, beside it) on 127.0.0.1 for the sync lines.\n"
    "\n"
    "Options:\n"
    "  --port N           port to listen on (default 8600)\n"
    "  --root DIR         data root: user folders and \"Log Files\" (default ./var/rkhost)\n"
    "  --all-addresses    listen on all addresses, not only loopback\n"
    "  --notify-host URL  where the service sends notifications (default: an\n"
    "                     endpoint of rkhost's own on 127.0.0.1 that prints them)\n"
    "  --help             show this text\n"
    "\n"
    "Exit codes: 0 after Ctrl-C (SIGINT) or SIGTERM, 1 when the service cannot\n"
    "be loaded or started, 2 for bad options.\n";

struct Options {
  std::string port = "8600";
  std::string root = "var/rkhost";
  bool all_addresses = false;
  std::string notify_host;  // empty: our own endpoint
};

enum class ParseResult { kRun, kHelp, kBad };

bool IsPort(const std::string& text) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const int port = std::stoi(text);
  return port >= 1 && port <= 65535;
}

ParseResult ParseOptions(int argc, char** argv, Options* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool has_value = false;
    const size_t equals = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      value = arg.substr(equals + 1);
      arg.resize(equals);
      has_value = true;
    }
    const bool takes_value = arg == "--port" || arg == "--root" || arg == "--notify-host";
    if (takes_value && !has_value) {
      if (i + 1 >= argc) {
        *error = arg + " needs a value";
        return ParseResult::kBad;
      }
      value = argv[++i];
    } else if (!takes_value && has_value) {
      *error = arg + " takes no value";
      return ParseResult::kBad;
    }

    if (arg == "--help" || arg == "-h") return ParseResult::kHelp;
    if (arg == "--all-addresses") {
      options->all_addresses = true;
    } else if (arg == "--port") {
      if (!IsPort(value)) {
        *error = "--port wants a number from 1 to 65535, not '" + value + "'";
        return ParseResult::kBad;
      }
      options->port = std::to_string(std::stoi(value));
    } else if (arg == "--root") {
      if (value.empty()) {
        *error = "--root wants a folder";
        return ParseResult::kBad;
      }
      options->root = value;
    } else if (arg == "--notify-host") {
      if (value.compare(0, 7, "http://") != 0 && value.compare(0, 8, "https://") != 0) {
        *error = "--notify-host wants an http:// or https:// address, not '" + value + "'";
        return ParseResult::kBad;
      }
      options->notify_host = value;
    } else {
      *error = "unknown option '" + arg + "'";
      return ParseResult::kBad;
    }
  }
  return ParseResult::kRun;
}

// The flat interface bound by name, as the browser binds it.
class ServiceLibrary {
 public:
  ~ServiceLibrary() { Unload(); }

  bool Load(const fs::path& path, std::string* error) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      *error = dlerror();
      return false;
    }
    return Bind("AddRkService", &add, error) && Bind("StartRkService", &start, error) &&
           Bind("ReleaseRkService", &release, error) && Bind("GetServiceVersion", &version, error) &&
           Bind("FreeMemory", &free_memory, error);
  }

  void Unload() {
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = nullptr;
  }

  // A buffer handed out by the library goes back to it.
  std::string Take(char* buffer, size_t size) {
    std::string text(buffer, size);
    free_memory(reinterpret_cast<void**>(&buffer));
    return text;
  }

  decltype(&::AddRkService) add = nullptr;
  decltype(&::StartRkService) start = nullptr;
  decltype(&::ReleaseRkService) release = nullptr;
  decltype(&::GetServiceVersion) version = nullptr;
  decltype(&::FreeMemory) free_memory = nullptr;

 private:
  template <typename F>
  bool Bind(const char* name, F* function, std::string* error) {
    *function = reinterpret_cast<F>(dlsym(handle_, name));
    if (*function == nullptr) *error = std::string("no function ") + name + " in the library";
    return *function != nullptr;
  }

  void* handle_ = nullptr;
};

fs::path ExecutableFolder() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::current_path() : self.parent_path();
}

// One line to paste, and under it, as a comment, the answer it gets.
void PrintLine(const std::string& command, const std::string& answer = {}) {
  std::cout << "  " << command << "\n";
  if (!answer.empty()) std::cout << "      # " << answer << "\n";
}

// A note saved with an image and read back: the image source comes back
// rewritten to the copy in the notes store. The image is written into the
// demo's own data folder.
void PrintNoteContentLines(const std::string& base, const fs::path& root) {
  const std::string as_alice = "curl -s -H 'UserName: alice' ";
  const std::string json = "-H 'Content-Type: application/json' ";
  const std::string image = (root / "rk-demo.png").string();
  std::cout << "A note saved with an image, then read back:\n";
  PrintLine("printf '\\x89PNG\\r\\n\\x1a\\n demo' > '" + image + "'");
  PrintLine(as_alice + json + "-d '[{\"title\":\"demo\",\"url\":\"http://example.com/\"}]' " + base +
                "/kivvet/note/importbookmarks",
            "{\"count\":1}");
  // The imported bookmark ("et" 2), not one of the default notes.
  PrintLine("ID=$(" + as_alice + "'" + base + "/kivvet/bookmarksallurlnotes?type=2'" +
                " | grep -o '\"id\":\"[^\"]*\"' | head -1 | cut -d'\"' -f4)",
            "prints nothing: $ID holds the bookmark's id");
  PrintLine(as_alice + json + "-d '{\"id\":\"'$ID'\",\"content\":\"<p>hi</p><img src=\\\"file://" + image +
                "\\\">\"}' " + base + "/kivvet/content",
            "the note: {...\"has_content\":true,...,\"res\":1,...}");
  PrintLine(as_alice + "\"" + base + "/kivvet/get_notedata?id=$ID\"",
            "{\"code\":0,\"content\":\"<p>hi</p><img src=\\\"file://" + (root / "alice" / "Kivvet" / "ResCache").string() +
                "/<MD5>.png\\\">\",...}: src names the store's copy");
}

// The account and updater proxies answer through the stand-in of the
// browser's main library beside the service library. Their bodies are form
// fields (curl -d), not JSON.
void PrintProxyTryLines(const std::string& base) {
  std::cout << "The browser's main library (our stand-in echoes each call; bodies are form fields):\n";
  PrintLine("curl -i -H 'UserName: alice' -d 'account=alice%40example.com&password=p%2Bss' " + base +
                "/account/login",
            "200 {\"op\":\"Login\",\"args\":[\"alice\",\"alice@example.com\",\"p+ss\",\"\",true,\"en\",true,false,false]}");
  PrintLine("curl -i -d 'action=register&country=86&mobile=5550100' " + base + "/account/vcode/mobile",
            "200 {\"op\":\"SendMobileCode\",\"args\":[\"register\",\"86\",\"5550100\"]}");
  PrintLine("curl -i -X POST " + base + "/account/list", "200 {\"op\":\"ListAccounts\",\"args\":[]}");
  PrintLine("curl -i -d 'update_type=1&update_channel=true' " + base + "/updater/update",
            "200 {\"op\":\"Update\",\"args\":[1,\"stable,beta\"]}");
}

// The notes routes that work on a fresh root, and a sync with the demo's own
// peer; its notifications show below.
void PrintNotesTryLines(const std::string& base, const rkhost::RkDemoPeer& peer) {
  const std::string user = " -H 'UserName: alice' ";
  std::cout << "Notes (user alice):\n";
  PrintLine("curl -i" + user + base + "/kivvet/hit", "200 {} (alice's notes store is made, with the default notes)");
  PrintLine("curl -i" + user + "'" + base + "/kivvet/allurlnotes?with_folder=1'",
            "200 {\"nodes\":[...]}: the default notes, each after its folder");
  if (peer.Port() == 0) {
    std::cout << "  (no sync peer: the sync lines are left out)\n";
    return;
  }
  const std::string host = peer.Url();
  std::cout << "Sync with this program's own notes peer at " << host << " (notifications print below).\n"
            << "  # Sync settings are not kept across a restart of rkhost, and its peer gets a new port\n"
            << "  # each start: after a restart, paste the init line it prints then (do_sync before: 400).\n";
  PrintLine("curl -i -X PUT" + user + "-H 'Content-Type: application/json' -d '{\"uid\":\"alice\"," +
                "\"did\":\"rkhost\",\"key\":\"demo\",\"app\":\"rkhost\",\"host\":\"" + host + "\",\"res_host\":\"" +
                host + "\",\"cver\":\"1.0\",\"vip_level\":0}' " + base + "/kivvet/sync/init",
            "200 {}");
  PrintLine("curl -i -X PUT" + user + base + "/kivvet/sync/do_sync",
            "200 {}: the sync runs on; its notifications print below");
  PrintLine("curl -i" + user + base + "/kivvet/sync/status",
            "200 {\"status\":1} while the sync runs, {\"status\":0} once it has ended");
  PrintLine("curl -i" + user + base + "/kivvet/sync/last_status",
            "200 {\"err_code\":0,\"is_syncing\":false,\"sync_time\":<when>,\"version\":0} once it has ended");
}

// Quick access as user alice: write a tree (the second write of a different
// tree sends a notification), read it, export the whole store.
void PrintQuickAccessLines(const std::string& base) {
  const std::string user = " -H 'UserName: alice'";
  const std::string json = " -H 'Content-Type: application/json'";
  std::cout << "Quick access:\n";
  PrintLine("curl -i" + user + json + " -d '[{\"url\":\"https://example.org/\",\"title\":\"Example\"}]' " + base +
                "/quickaccess/qa",
            "200 {}");
  PrintLine("curl -i" + user + json +
                " -d '[{\"title\":\"Work\",\"children\":[{\"url\":\"https://example.com/\",\"title\":\"Ex\"}]}]' '" +
                base + "/quickaccess/qa?from_id=demo'",
            "200 {}; a change: the notification prints below");
  PrintLine("curl -i" + user + " '" + base + "/quickaccess/qa?with_ver=1'",
            "200 {\"my_site\":\"[{\\\"children\\\":[...],\\\"folderId\\\":...,\\\"title\\\":\\\"Work\\\"}]\","
            "\"version\":0}");
  PrintLine("curl -i" + user + " " + base + "/quickaccess/sync",
            "200 {\"app\":\"rkfas\",\"data\":[{\"key\":\"my_site\",\"value\":<Base64>},...]}");
}

// Form fill as user alice: a card (its change is notified), the list,
// encryption both ways, the sync export.
void PrintFormFillLines(const std::string& base) {
  const std::string as_alice = "-H 'UserName: alice' -H 'Content-Type: application/json'";
  std::cout << "Form fill:\n";
  PrintLine("curl -i " + as_alice + R"( -d '{"type":"account","key":"site-1","value":"{\"user\":\"alice\"}"}' )" +
                base + "/tesselfill/card/add_or_update",
            "200 {}; the notification prints below");
  PrintLine("curl -i -H 'UserName: alice' '" + base + "/tesselfill/card/all?type=account'",
            R"(200 [{"user":"alice"}])");
  PrintLine("curl -i -X PUT " + as_alice +
                R"( -d '{"type":"encrypt","user_pwd":"pw","content":"[{\"v\":\"hello\"}]"}' )" + base +
                "/tesselfill/pwd_operation",
            R"(200 [{"v":"K9VriBgjVO9hLY1utJDDpg=="}])");
  PrintLine("curl -i -X PUT " + as_alice +
                R"( -d '{"type":"decrypt","user_pwd":"pw","content":"[{\"v\":\"K9VriBgjVO9hLY1utJDDpg==\"}]"}' )" +
                base + "/tesselfill/pwd_operation",
            R"(200 [{"v":"hello"}])");
  PrintLine("curl -i -H 'UserName: alice' " + base + "/tesselfill/sync/account/get",
            R"(200 {"ver": 1, "app": "rek5-ainfo", "data": [ {"key": "site-1", "value": "eyJ1c2VyIjoiYWxpY2UifQ", )"
            R"("value_type": "binary"} ]})");
}

void PrintTryLines(const std::string& port, int notify_port, const rkhost::RkDemoPeer& peer, const fs::path& root) {
  const std::string base = "http://localhost:" + port;
  std::cout << "\nTry (each line's answer below it; JSON bodies go as application/json):\n";
  PrintLine("curl -i " + base + "/", "200 {}");
  PrintLine("curl -i -X OPTIONS " + base + "/kivvet/notes", "a preflight: 200 {}");
  PrintLine("curl -i " + base + "/kivvet/notes", "no UserName: 400 {}");
  PrintLine("curl -i -H 'UserName: alice' " + base + "/kivvet/notes", "as user alice: no such route, 404 {}");
  PrintLine("curl -i -H 'UserName: ../x' " + base + "/kivvet/notes", "unsafe user: 400 {}");
  PrintNotesTryLines(base, peer);
  PrintProxyTryLines(base);
  PrintQuickAccessLines(base);
  PrintFormFillLines(base);
  if (notify_port != 0) {
    std::cout << "A notification as the service sends it:\n";
    PrintLine("curl -i -H 'UserName: alice' 'http://127.0.0.1:" + std::to_string(notify_port) +
                  "/?action=notify&caller=kivvet&type=data_changed&value=%7B%22id%22:%22x%22%7D'",
              "200 {}; printed below as it arrives");
  }
  PrintNoteContentLines(base, root);
  std::cout << "\nServing; Ctrl-C stops.\n" << std::flush;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  switch (ParseOptions(argc, argv, &options, &error)) {
    case ParseResult::kHelp:
      std::cout << kUsage;
      return 0;
    case ParseResult::kBad:
      std::cerr << "rkhost: " << error << "\nTry 'rkhost --help'.\n";
      return 2;
    case ParseResult::kRun:
      break;
  }

  // Blocked before any thread starts, so that every thread the library or the
  // endpoint makes inherits the mask and only sigwait below sees the signals.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  std::error_code ec;
  const fs::path root = fs::absolute(options.root, ec).lexically_normal();
  fs::create_directories(root, ec);
  if (ec) {
    std::cerr << "rkhost: cannot make the root folder " << root << ": " << ec.message() << "\n";
    return 1;
  }

  rkhost::RkNotifyEndpoint endpoint(std::cout);
  if (options.notify_host.empty()) {
    if (!endpoint.Start(&error)) {
      std::cerr << "rkhost: " << error << "\n";
      return 1;
    }
    options.notify_host = "http://127.0.0.1:" + std::to_string(endpoint.Port());
  }

  // The notes lines sync with it; the demo runs without it when it cannot start.
  rkhost::RkDemoPeer peer;
  std::string peer_error;
  if (!peer.Start(ExecutableFolder() / kPeerName, &peer_error)) std::cerr << "rkhost: " << peer_error << "\n";

  ServiceLibrary library;
  const fs::path library_path = ExecutableFolder() / kLibraryName;
  if (!library.Load(library_path, &error)) {
    std::cerr << "rkhost: cannot load " << library_path << ": " << error << "\n";
    return 1;
  }

  char* buffer = nullptr;
  library.version(&buffer);
  const std::string version = buffer != nullptr ? library.Take(buffer, std::strlen(buffer)) : "?";

  const std::string root_text = root.string();
  const RkServiceDesc desc = {kServiceName, options.port.c_str(), root_text.c_str(),
                              static_cast<uint8_t>(options.all_addresses ? 0 : 1), options.notify_host.c_str()};
  if (!library.add(&desc)) {
    std::cerr << "rkhost: AddRkService refused the service \"" << kServiceName << "\"\n";
    return 1;
  }
  int length = 0;
  buffer = nullptr;
  if (!library.start(kServiceName, &buffer, &length)) {
    std::cerr << "rkhost: cannot start the service on port " << options.port
              << " (is it in use?); see the log under " << root << "\n";
    library.release();
    return 1;
  }
  const std::string address = library.Take(buffer, static_cast<size_t>(length));

  std::cout << "rkservice " << version << " from " << library_path.string() << "\n"
            << "service \"" << kServiceName << "\" at " << address << "\n"
            << "root " << root_text << " (log: " << (root / "Log Files" / "rkservice.log").string() << ")\n"
            << "notify host " << options.notify_host << (endpoint.Port() != 0 ? " (this program)" : "") << "\n"
            << "at most " << rkservice::kRkMaxUsersPerService << " users with data and "
            << rkservice::kRkMaxProxyUsersPerService
            << " of the account and updater routes alone; a request for one more is answered 503\n";
  PrintTryLines(options.port, endpoint.Port(), peer, root);

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  std::cout << "\n" << (signal_number == SIGINT ? "SIGINT" : "SIGTERM") << ": stopping\n" << std::flush;

  library.release();
  endpoint.Stop();
  peer.Stop();
  library.Unload();
  std::cout << "stopped\n";
  return 0;
}
