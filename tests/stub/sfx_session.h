// Runs the console build of the stub as a child process for the flow tests:
// its argv[0] names the archive, its output lines are read as they come,
// and a line on its standard input is the user's OK on a message box.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

class StubSession {
 public:
  // env: extra "NAME=value" entries (replacing the parent's of that name).
  StubSession(const std::string& stub, const std::string& argv0, std::vector<std::string> env,
              const std::string& cwd) {
    // A stub that has ended already makes an answer fail, not the tests.
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    std::vector<std::string> names;
    for (const auto& e : env) names.push_back(e.substr(0, e.find('=') + 1));
    for (char** e = environ; *e; ++e) {
      bool replaced = false;
      for (const auto& n : names) replaced |= std::strncmp(*e, n.c_str(), n.size()) == 0;
      if (!replaced) env.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string a0 = argv0;
    char* argv[] = {a0.data(), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, in[1]);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    // Only the copies stay open in the stub (and what it starts), so that
    // its output ends when it ends.
    posix_spawn_file_actions_addclose(&fa, in[0]);
    posix_spawn_file_actions_addclose(&fa, out[1]);
    posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    if (posix_spawn(&pid_, stub.c_str(), &fa, nullptr, argv, envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
  }
  ~StubSession() {
    if (to_ >= 0) close(to_);
    if (from_ >= 0) close(from_);
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // Next output line starting with `prefix` (others are kept in `lines`);
  // empty when the output ends or the time runs out first.
  std::string expect(const std::string& prefix, int timeout_ms = 20000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      while (next_ < lines.size()) {
        const std::string& l = lines[next_++];
        if (l.compare(0, prefix.size(), prefix) == 0) return l;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now()).count();
      if (left <= 0 || !read_some(static_cast<int>(left))) return {};
    }
  }
  void ok() { send("\n"); }
  void send(const std::string& s) {
    if (to_ >= 0 && write(to_, s.data(), s.size()) < 0) {
    }
  }
  void close_input() {
    if (to_ >= 0) close(to_);
    to_ = -1;
  }
  void interrupt() { kill(pid_, SIGINT); }
  pid_t pid() const { return pid_; }
  // Reads everything up to the end and returns the exit code (-1: killed
  // or timed out).
  int finish(int timeout_ms = 30000) {
    close_input();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now()).count();
      if (left <= 0 || !read_some(static_cast<int>(left))) break;
    }
    int status = 0;
    // The output has ended; the process follows within moments.
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= until) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        reaped_ = true;
        return -1;
      }
      usleep(2000);
    }
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // The message-box lines seen so far.
  std::vector<std::string> boxes() const {
    std::vector<std::string> b;
    for (const auto& l : lines)
      if (l.compare(0, 4, "box ") == 0) b.push_back(l);
    return b;
  }

  std::vector<std::string> lines;

 private:
  bool read_some(int timeout_ms) {
    pollfd p{from_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    char buf[4096];
    const ssize_t n = read(from_, buf, sizeof buf);
    if (n <= 0) return false;
    partial_.append(buf, static_cast<std::size_t>(n));
    std::size_t nl;
    while ((nl = partial_.find('\n')) != std::string::npos) {
      lines.push_back(partial_.substr(0, nl));
      partial_.erase(0, nl + 1);
    }
    return true;
  }

  pid_t pid_ = -1;
  bool reaped_ = false;
  int to_ = -1;
  int from_ = -1;
  std::string partial_;
  std::size_t next_ = 0;
};
