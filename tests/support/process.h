// Child processes for tests that run whole programs (the updater, nginx,
// Xvfb). Each is killed when its object goes, so a failing test leaves none.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vmrk::test {

using Environment = std::vector<std::pair<std::string, std::string>>;

class Process {
 public:
  // Starts program with arguments and extra environment variables. With
  // stdinPipe the child's standard input is a pipe that closes with the
  // object; quiet sends its output to /dev/null.
  Process(const std::string& program, const std::vector<std::string>& arguments, const Environment& env = {},
          bool stdinPipe = false, bool quiet = false);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Exit status (128 + signal for a killed child), or -1 while it still runs
  // after timeoutMs.
  int WaitExit(int timeoutMs);
  bool Running();
  int pid() const { return pid_; }

 private:
  int pid_ = -1;
  int stdin_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

// Runs a command to its end and gives its standard output.
std::string RunAndCapture(const std::vector<std::string>& command, const Environment& env = {});

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeLoopbackPort();
// Whether something listens there: a server started is ready once it does.
bool LoopbackPortAccepts(int port);

}  // namespace vmrk::test
