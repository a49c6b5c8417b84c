#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "tests/support/process.h"

namespace vmrk::test {
namespace {

std::vector<char*> Argv(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// The child's whole environment, built before fork: between fork and exec a
// child of a threaded process may only make async-signal-safe calls, and
// setenv allocates (a lock another thread held at the fork stays held in the
// child, for ever).
class ChildEnvironment {
 public:
  explicit ChildEnvironment(const Environment& env) {
    for (char** entry = environ; *entry != nullptr; ++entry) {
      std::string text = *entry;
      std::string key = text.substr(0, text.find('='));
      bool replaced = false;
      for (const auto& change : env) replaced = replaced || change.first == key;
      if (!replaced) strings_.push_back(std::move(text));
    }
    for (const auto& [key, value] : env) {
      if (value.empty() && key == "DISPLAY") continue;  // no display at all
      strings_.push_back(key + "=" + value);
    }
    for (std::string& s : strings_) pointers_.push_back(s.data());
    pointers_.push_back(nullptr);
  }
  char** data() { return pointers_.data(); }

 private:
  std::vector<std::string> strings_;
  std::vector<char*> pointers_;
};

}  // namespace

Process::Process(const std::string& program, const std::vector<std::string>& arguments, const Environment& env,
                 bool stdinPipe, bool quiet) {
  int fds[2] = {-1, -1};
  if (stdinPipe && pipe(fds) != 0) throw std::runtime_error("pipe");
  std::vector<char*> argv = Argv(program, arguments);
  ChildEnvironment childEnvironment(env);
  const int null = quiet ? open("/dev/null", O_WRONLY | O_CLOEXEC) : -1;
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    setpgid(0, 0);  // its own group: killing it takes its helpers along
    if (quiet) {
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
    }
    if (stdinPipe) {
      dup2(fds[0], STDIN_FILENO);
      close(fds[0]);
      close(fds[1]);
    }
    execvpe(program.c_str(), argv.data(), childEnvironment.data());
    _exit(127);
  }
  if (null >= 0) close(null);
  if (stdinPipe) {
    close(fds[0]);
    stdin_ = fds[1];
  }
}

Process::~Process() {
  if (stdin_ >= 0) close(stdin_);
  if (!exited_) {
    kill(-pid_, SIGTERM);
    if (WaitExit(2000) == -1) {
      kill(-pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
}

int Process::WaitExit(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (exited_) return status_;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool Process::Running() { return WaitExit(0) == -1; }

std::string RunAndCapture(const std::vector<std::string>& command, const Environment& env) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe");
  const std::vector<std::string> arguments(command.begin() + 1, command.end());  // outlives argv
  std::vector<char*> argv = Argv(command[0], arguments);
  ChildEnvironment childEnvironment(env);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    execvpe(command[0].c_str(), argv.data(), childEnvironment.data());
    _exit(127);
  }
  close(fds[1]);
  std::string output;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) output.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return output;
}

bool LoopbackPortAccepts(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(s);
  return ok;
}

int FreeLoopbackPort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  close(s);
  return ntohs(address.sin_port);
}

}  // namespace vmrk::test
