// For integration and end-to-end tests: the real tapcal-sim as a child process, and runs of the
// real tapcal against it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// A fresh directory under the system's temporary directory, removed with its contents at exit
// of the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Writes `text` to File(name) and returns that path.
  std::string Write(const std::string& name, const std::string& text) const;

 private:
  std::string path_;
};

// Paths of the build's programs and of the source tree (from TAPCAL_BUILD_DIR / TAPCAL_SOURCE_DIR,
// which CTest sets).
std::string BuildPath(const std::string& relative);
std::string SourcePath(const std::string& relative);

// tapcal-sim started with `args` plus its ready and state files in a temporary directory; waits
// until the ready file is written. Stopped with SIGTERM (by its pid) when the object ends.
class BenchProcess {
 public:
  explicit BenchProcess(std::vector<std::string> args = {}, const std::string& stateFile = "");
  ~BenchProcess();
  BenchProcess(const BenchProcess&) = delete;
  BenchProcess& operator=(const BenchProcess&) = delete;

  bool Ready() const { return ready_; }
  pid_t Pid() const { return pid_; }
  // A value of the ready file ("" when it has none).
  std::string ReadyValue(const std::string& key) const;
  // One command on the control channel; its one-line reply, without the line end.
  std::string Control(const std::string& line) const;
  nlohmann::json State() const;
  // Stops the bench (SIGTERM, then waits); true when it exited with 0.
  bool Stop();
  const std::string& StateFile() const { return stateFile_; }

 private:
  TempDir dir_;
  std::string stateFile_;
  pid_t pid_ = -1;
  bool ready_ = false;
  std::map<std::string, std::string> readyValues_;
};

struct ToolRun {
  std::string out;
  std::string err;
  int exitCode = -1;  // -1 when it did not exit by itself
  int signal = 0;     // the signal that ended it, 0 when none
  bool timedOut = false;
  double seconds = 0;
};

// A program running in the background, its output collected as it comes, so that a test can act
// at a chosen point of the run. Standard input stays open until CloseInput; the program is killed
// (by its pid) when the object ends while it still runs.
class RunningProgram {
 public:
  // Runs `program` with `args` in `workDir` ("" for the test's own), the environment plus `env`.
  RunningProgram(const std::string& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env, const std::string& workDir);
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  void Input(const std::string& bytes);
  void CloseInput();
  // Waits until `text` shows in standard output after whatever the earlier waits found, so that
  // successive waits follow the run; false when `timeoutSeconds` pass, or the output ends,
  // without it.
  bool WaitForOutput(const std::string& text, double timeoutSeconds);
  std::string Output();
  // Seconds since the start.
  double Elapsed() const;
  // Waits up to `timeoutSeconds` from now for the program to end and kills it after that; what it
  // printed and how it ended.
  ToolRun Finish(double timeoutSeconds);

 private:
  void Collect();

  pid_t pid_ = -1;
  int input_ = -1;
  int output_[2] = {-1, -1};  // standard output, standard error
  std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  std::condition_variable grown_;
  std::string out_, err_;
  size_t watched_ = 0;  // standard output up to here was matched by a wait
  bool ended_ = false;  // both outputs closed
  std::atomic<bool> stopCollecting_{false};
  std::thread collector_;
  bool finished_ = false;
  ToolRun result_;
};

// Runs `program` with `args` in `workDir`, the environment plus `env`, `input` on standard input
// (then closed), and kills it after `timeoutSeconds`.
ToolRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env, const std::string& input,
                   const std::string& workDir, double timeoutSeconds);

}  // namespace testing_support
