// Runs a helper program of the store tests and reads what it prints.
#ifndef RKSERVICE_TESTS_RK_STORAGE_TEST_PROCESS_H_
#define RKSERVICE_TESTS_RK_STORAGE_TEST_PROCESS_H_

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace rktest {

// A child whose standard output and error come back through a pipe.
class ChildProcess {
 public:
  ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
               const std::filesystem::path& cwd) {
    // Close-on-exec: no other child keeps this pipe open after this one ends.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    std::vector<std::string> all = {program.string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fds[0];
  }
  ~ChildProcess() {
    Kill();
    Wait();
    if (out_ >= 0) close(out_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }

  // Reads complete lines until the output ends or the time is up; given
  // `until`, also stops after the first line that starts with it.
  std::vector<std::string> ReadLines(std::chrono::milliseconds limit, const std::string& until = {}) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<std::string> lines;
    for (;;) {
      bool seen = false;
      size_t start = 0;
      for (size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(pending_.substr(start, end - start));
        seen = seen || (!until.empty() && lines.back().rfind(until, 0) == 0);
      }
      pending_.erase(0, start);
      if (seen || out_ < 0) break;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p = {out_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buffer[4096];
      const ssize_t n = read(out_, buffer, sizeof(buffer));
      if (n <= 0) {
        close(out_);
        out_ = -1;
        continue;
      }
      pending_.append(buffer, static_cast<size_t>(n));
    }
    return lines;
  }

  // Reads until a complete line starting with `prefix` has come; that line,
  // or "" when the output ended or the time was up first.
  std::string WaitForLine(const std::string& prefix, std::chrono::milliseconds limit) {
    for (const std::string& line : ReadLines(limit, prefix)) {
      if (line.rfind(prefix, 0) == 0) return line;
    }
    return {};
  }

  void Signal(int signal_number) {
    if (pid_ > 0 && !waited_) kill(pid_, signal_number);
  }

  void Kill() {
    if (pid_ > 0 && !waited_) kill(pid_, SIGKILL);
  }
  // The exit code, or -signal.
  int Wait() {
    if (pid_ <= 0) return -1000;
    if (!waited_) {
      waitpid(pid_, &status_, 0);
      waited_ = true;
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -WTERMSIG(status_);
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = 0;
  bool waited_ = false;
  std::string pending_;
};

}  // namespace rktest

#endif  // RKSERVICE_TESTS_RK_STORAGE_TEST_PROCESS_H_
