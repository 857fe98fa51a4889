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

ToolRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env, const std::string& input,
                   const std::string& workDir, double timeoutSeconds) {
  ToolRun run;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return run;
  auto start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
    for (auto& [key, value] : env)
      setenv(key.c_str(), value.c_str(), 1);
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& arg : argv)
      cargv.push_back(arg.data());
    cargv.push_back(nullptr);
    execv(cargv[0], cargv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  // Standard input is written whole up front: the keys a test gives are few.
  signal(SIGPIPE, SIG_IGN);
  if (!input.empty()) {
    ssize_t written = write(in[1], input.data(), input.size());
    (void)written;  // a tool that ends without reading its keys is the test's to judge
  }
  close(in[1]);

  auto deadline = start + std::chrono::duration<double>(timeoutSeconds);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      run.timedOut = true;
      break;
    }
    if (poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
    for (auto& pfd : fds) {
      if (pfd.fd < 0 || !pfd.revents) continue;
      char chunk[65536];
      ssize_t got = read(pfd.fd, chunk, sizeof chunk);
      if (got <= 0) {
        close(pfd.fd);
        pfd.fd = -1;
        --open;
        continue;
      }
      (&pfd == &fds[0] ? run.out : run.err).append(chunk, static_cast<size_t>(got));
    }
  }
  int status = 0;
  if (run.timedOut) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  } else {
    // Output closed; the process may still be ending.
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
        run.timedOut = true;
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  for (auto& pfd : fds)
    if (pfd.fd >= 0) close(pfd.fd);
  if (!run.timedOut && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return run;
}

}  // namespace testing_support
