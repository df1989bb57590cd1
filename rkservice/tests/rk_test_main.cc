// The main of every test program: each test runs in a process of its own, as
// ctest runs them, also when the program is started by hand. The logger (its
// file starts once per process), the service manager and the handler kinds
// are process-wide, and each test wants them fresh.
//
// A run that names exactly one test (ctest's, or one of the children below),
// a listing, or a run with RK_TEST_ONE_PROCESS=1 in the environment (for a
// debugger) runs here. Any other run lists the tests its flags select and
// runs each in a child of this program with the same flags, one after
// another, and fails when any child fails.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr char kFilterFlag[] = "--gtest_filter=";

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// A filter without patterns names one test.
bool NamesOneTest(const std::string& filter) {
  return !filter.empty() && filter.find_first_of("*?:-") == std::string::npos;
}

bool RunsHere(const std::vector<std::string>& args) {
  const char* one = std::getenv("RK_TEST_ONE_PROCESS");
  if (one != nullptr && std::strcmp(one, "1") == 0) return true;
  if (GTEST_FLAG_GET(list_tests)) return true;
  for (const std::string& arg : args) {
    if (StartsWith(arg, "--gtest_internal_run_death_test")) return true;
  }
  return NamesOneTest(GTEST_FLAG_GET(filter));
}

// Runs this program with `args`; the exit status as waitpid gives it, or -1
// when it could not start. With `out`, its standard output is read into it.
int RunSelf(const std::vector<std::string>& args, std::string* out) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  int fds[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (out != nullptr) {
    if (pipe(fds) != 0) return -1;
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
  }
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (out != nullptr) {
    close(fds[1]);
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof(buffer))) > 0) out->append(buffer, static_cast<size_t>(n));
    close(fds[0]);
  }
  if (spawned != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return status;
}

// The full names of the tests a listing holds, in its order.
std::vector<std::string> ListedTests(const std::string& listing) {
  std::vector<std::string> tests;
  std::string suite;
  size_t start = 0;
  while (start < listing.size()) {
    size_t end = listing.find('\n', start);
    if (end == std::string::npos) end = listing.size();
    const std::string line = listing.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    // "Suite." or "  Test", each maybe followed by "  # GetParam() = ...".
    if (line[0] != ' ') {
      suite = line.substr(0, line.find(' '));
    } else {
      const size_t name_start = line.find_first_not_of(' ');
      const std::string name = line.substr(name_start, line.find(' ', name_start) - name_start);
      tests.push_back(suite + name);
    }
  }
  return tests;
}

std::string Outcome(int status) {
  if (status == -1) return "did not start";
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "exit code " + std::to_string(WEXITSTATUS(status));
}

}  // namespace

int main(int argc, char** argv) {
  // The flags as given: InitGoogleTest takes its own out of argv.
  const std::vector<std::string> args(argv, argv + argc);
  testing::InitGoogleTest(&argc, argv);
  if (RunsHere(args)) return RUN_ALL_TESTS();

  std::vector<std::string> list_args = args;
  list_args.push_back("--gtest_list_tests");
  std::string listing;
  const int listed = RunSelf(list_args, &listing);
  if (listed == -1 || !WIFEXITED(listed) || WEXITSTATUS(listed) != 0) {
    std::fprintf(stderr, "could not list the tests (%s)\n", Outcome(listed).c_str());
    return 1;
  }
  const std::vector<std::string> tests = ListedTests(listing);
  std::vector<std::string> failed;
  for (const std::string& test : tests) {
    std::vector<std::string> child_args = args;
    // The last filter flag is the one that counts.
    child_args.push_back(kFilterFlag + test);
    std::fflush(stdout);
    const int status = RunSelf(child_args, nullptr);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      failed.push_back(test + " (" + Outcome(status) + ")");
    }
  }
  std::printf("[==========] %zu tests, each in a process of its own.\n", tests.size());
  std::printf("[  PASSED  ] %zu tests.\n", tests.size() - failed.size());
  if (!failed.empty()) {
    std::printf("[  FAILED  ] %zu tests, listed below:\n", failed.size());
    for (const std::string& test : failed) std::printf("[  FAILED  ] %s\n", test.c_str());
  }
  return failed.empty() ? 0 : 1;
}
