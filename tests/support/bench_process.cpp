#include "support/bench_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace testing_support {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "tapcal-test-XXXXXX").string();
  if (mkdtemp(pattern.data())) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) fs::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& name, const std::string& text) const {
  std::string path = File(name);
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

std::string BuildPath(const std::string& relative) {
  const char* dir = std::getenv("TAPCAL_BUILD_DIR");
  return std::string(dir ? dir : ".") + "/" + relative;
}

std::string SourcePath(const std::string& relative) {
  const char* dir = std::getenv("TAPCAL_SOURCE_DIR");
  return std::string(dir ? dir : ".") + "/" + relative;
}

BenchProcess::BenchProcess(std::vector<std::string> args, const std::string& stateFile)
    : stateFile_(stateFile.empty() ? dir_.File("state.json") : stateFile) {
  std::string readyFile = dir_.File("ready");
  std::vector<std::string> argv{BuildPath("sim/bench/tapcal-sim"), "--ready", readyFile, "--state",
                                stateFile_};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    // A test that crashes must not leave its bench running.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    std::vector<char*> cargv;
    for (auto& arg : argv)
      cargv.push_back(arg.data());
    cargv.push_back(nullptr);
    execv(cargv[0], cargv.data());
    _exit(127);
  }
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::ifstream in(readyFile);
    if (in) {
      for (std::string line; std::getline(in, line);)
        if (auto eq = line.find('='); eq != std::string::npos)
          readyValues_[line.substr(0, eq)] = line.substr(eq + 1);
      ready_ = true;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

BenchProcess::~BenchProcess() {
  Stop();
}

bool BenchProcess::Stop() {
  if (pid_ <= 0) return false;
  kill(pid_, SIGTERM);
  int status = 0;
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string BenchProcess::ReadyValue(const std::string& key) const {
  auto it = readyValues_.find(key);
  return it == readyValues_.end() ? "" : it->second;
}

std::string BenchProcess::Control(const std::string& line) const {
  std::string endpoint = ReadyValue("CONTROL");
  auto colon = endpoint.rfind(':');
  if (colon == std::string::npos) return "";
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(std::stoi(endpoint.substr(colon + 1))));
  inet_pton(AF_INET, endpoint.substr(0, colon).c_str(), &addr.sin_addr);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    std::string request = line + "\n";
    if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
      char chunk[65536];
      pollfd pfd{fd, POLLIN, 0};
      while (reply.find('\n') == std::string::npos && poll(&pfd, 1, 5000) > 0) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0) break;
        reply.append(chunk, static_cast<size_t>(got));
      }
    }
  }
  close(fd);
  if (auto end = reply.find('\n'); end != std::string::npos) reply.resize(end);
  return reply;
}

nlohmann::json BenchProcess::State() const {
  return nlohmann::json::parse(Control("state"), nullptr, false);
}

RunningProgram::RunningProgram(const std::string& program, const std::vector<std::string>& args,
                               const std::map<std::string, std::string>& env,
                               const std::string& workDir)
    : start_(Clock::now()) {
  // Everything the child needs is made before the fork: the test process has threads.
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry; ++entry) {
    std::string text = *entry;
    auto eq = text.find('=');
    if (eq != std::string::npos) merged[text.substr(0, eq)] = text.substr(eq + 1);
  }
  for (const auto& [key, value] : env)
    merged[key] = value;
  std::vector<std::string> envStrings;
  for (const auto& [key, value] : merged)
    envStrings.push_back(key + "=" + value);
  std::vector<char*> cargv, cenv;
  for (auto& arg : argv)
    cargv.push_back(arg.data());
  cargv.push_back(nullptr);
  for (auto& entry : envStrings)
    cenv.push_back(entry.data());
  cenv.push_back(nullptr);

  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return;
  // A program that ends without reading its keys must not end the test.
  signal(SIGPIPE, SIG_IGN);
  pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that crashes leaves nothing running
    if (getppid() != parent) _exit(127);
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
    execve(cargv[0], cargv.data(), cenv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  input_ = in[1];
  output_[0] = out[0];
  output_[1] = err[0];
  if (pid_ < 0) {
    CloseInput();
    close(out[0]);
    close(err[0]);
    return;
  }
  collector_ = std::thread([this] { Collect(); });
}

RunningProgram::~RunningProgram() {
  if (pid_ > 0 && !finished_) Finish(0);
}

void RunningProgram::Collect() {
  pollfd fds[2] = {{output_[0], POLLIN, 0}, {output_[1], POLLIN, 0}};
  int open = 2;
  while (open > 0 && !stopCollecting_) {
    if (poll(fds, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      char chunk[65536];
      ssize_t got = read(fds[i].fd, chunk, sizeof chunk);
      if (got <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
        continue;
      }
      std::lock_guard lock(mutex_);
      (i == 0 ? out_ : err_).append(chunk, static_cast<size_t>(got));
      grown_.notify_all();
    }
  }
  for (auto& pfd : fds)
    if (pfd.fd >= 0) close(pfd.fd);
  std::lock_guard lock(mutex_);
  ended_ = true;
  grown_.notify_all();
}

void RunningProgram::Input(const std::string& bytes) {
  if (input_ < 0 || bytes.empty()) return;
  ssize_t written = write(input_, bytes.data(), bytes.size());
  (void)written;  // a program that ends without reading its keys is the test's to judge
}

void RunningProgram::CloseInput() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

bool RunningProgram::WaitForOutput(const std::string& text, double timeoutSeconds) {
  std::unique_lock lock(mutex_);
  size_t found = std::string::npos;
  grown_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [&] {
    found = out_.find(text, watched_);
    return ended_ || found != std::string::npos;
  });
  if (found == std::string::npos) return false;
  watched_ = found + text.size();
  return true;
}

std::string RunningProgram::Output() {
  std::lock_guard lock(mutex_);
  return out_;
}

double RunningProgram::Elapsed() const {
  return std::chrono::duration<double>(Clock::now() - start_).count();
}

ToolRun RunningProgram::Finish(double timeoutSeconds) {
  if (finished_ || pid_ <= 0) return result_;
  finished_ = true;
  CloseInput();
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(timeoutSeconds));
  {
    // Output closed first; the process may still be ending after that.
    std::unique_lock lock(mutex_);
    grown_.wait_until(lock, deadline, [this] { return ended_; });
  }
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      result_.timedOut = true;
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  result_.seconds = Elapsed();
  stopCollecting_ = true;
  collector_.join();
  if (!result_.timedOut && WIFEXITED(status)) result_.exitCode = WEXITSTATUS(status);
  if (!result_.timedOut && WIFSIGNALED(status)) result_.signal = WTERMSIG(status);
  std::lock_guard lock(mutex_);
  result_.out = out_;
  result_.err = err_;
  return result_;
}

ToolRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env, const std::string& input,
                   const std::string& workDir, double timeoutSeconds) {
  RunningProgram running(program, args, env, workDir);
  if (!running.Started()) return {};
  running.Input(input);
  running.CloseInput();
  return running.Finish(timeoutSeconds);
}

}  // namespace testing_support
