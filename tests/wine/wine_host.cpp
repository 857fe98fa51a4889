#include "wine_host.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace testing_support {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char kInstallationKey[] = "HKLM\\SOFTWARE\\Kestan Corporation\\Install Data\\Norvale";
// Wine's .NET and HTML engines would ask to be downloaded; nothing here needs them.
constexpr char kNoDownloads[] = "mscoree,mshtml=";

// The first `name` on PATH.
std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin";
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    fs::path candidate = fs::path(dirs.substr(start, end - start)) / name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
    start = end + 1;
  }
  return "/usr/bin/" + name;
}

// Forks `argv` with `env` over the environment, standard input from `in` and output to `out` and
// `err` (-1: /dev/null). The child dies with the test.
pid_t Spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            const std::string& workDir, int in, int out, int err) {
  // Everything the child needs is made before the fork: the test process has threads.
  std::vector<std::string> args = argv;
  std::vector<char*> cargv;
  for (auto& arg : args)
    cargv.push_back(arg.data());
  cargv.push_back(nullptr);
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry; ++entry) {
    std::string assignment = *entry;
    size_t eq = assignment.find('=');
    if (eq != std::string::npos) merged[assignment.substr(0, eq)] = assignment.substr(eq + 1);
  }
  for (const auto& [key, value] : env)
    merged[key] = value;
  std::vector<std::string> assignments;
  for (const auto& [key, value] : merged)
    assignments.push_back(key + "=" + value);
  std::vector<char*> cenv;
  for (auto& assignment : assignments)
    cenv.push_back(assignment.data());
  cenv.push_back(nullptr);
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);

  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid != 0) {
    close(null);
    return pid;
  }
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  dup2(in >= 0 ? in : null, STDIN_FILENO);
  dup2(out >= 0 ? out : null, STDOUT_FILENO);
  dup2(err >= 0 ? err : null, STDERR_FILENO);
  if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
  execve(cargv[0], cargv.data(), cenv.data());
  _exit(127);
}

// Waits for `pid` until `deadline`, then kills it; its exit code, or -1.
int Reap(pid_t pid, Clock::time_point deadline) {
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string WindowsProgram(const std::string& name) {
  const char* dir = std::getenv("TAPCAL_WINDOWS_DIR");
  return (dir && *dir ? std::string(dir) : BuildPath("win/bin")) + "/" + name;
}

std::string WindowsPath(const std::string& linuxPath) {
  std::string path = "Z:" + linuxPath;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

std::string PosixLineEnds(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
  return out;
}

WineHost::WineHost() : prefix_(dir_.File("prefix")), xvfb_("1280x1024x24") {
  if (!xvfb_.Ready()) {
    failure_ = "Xvfb did not start";
    return;
  }
  fs::create_directories(prefix_);
  // The server first and kept alive: the prefix's start-up (services, devices, desktop) is paid
  // once, not by every run.
  wineserver_ = Spawn({FindProgram("wineserver"), "--foreground", "--persistent"}, Environment(),
                      "", -1, -1, -1);
  ToolRun boot = Wine({"wineboot", "--init"}, 300);
  if (boot.exitCode != 0) {
    failure_ = "wineboot failed";
    return;
  }
  ToolRun unmanaged = Wine({"reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed", "/t",
                            "REG_SZ", "/d", "N", "/f"},
                           60);
  if (unmanaged.exitCode != 0) failure_ = "cannot set Managed=N";
  SetCom3("");
}

WineHost::~WineHost() {
  // Every Wine process of this prefix ends with its server.
  if (!prefix_.empty()) {
    pid_t kill = Spawn({FindProgram("wineserver"), "--kill"}, Environment(), "", -1, -1, -1);
    Reap(kill, Clock::now() + std::chrono::seconds(20));
  }
  if (wineserver_ > 0) {
    ::kill(wineserver_, SIGTERM);
    Reap(wineserver_, Clock::now() + std::chrono::seconds(10));
  }
}

std::map<std::string, std::string> WineHost::Environment() const {
  return {{"WINEPREFIX", prefix_},
          {"WINEDEBUG", "-all"},
          {"WINEDLLOVERRIDES", kNoDownloads},
          {"DISPLAY", xvfb_.Name()}};
}

ToolRun WineHost::Wine(const std::vector<std::string>& args, double timeoutSeconds) const {
  std::vector<std::string> argv{FindProgram("wine")};
  argv.insert(argv.end(), args.begin(), args.end());
  ToolRun run;
  auto start = Clock::now();
  // Output to /dev/null: a program that starts the prefix's services must not hand them our pipes.
  pid_t pid = Spawn(argv, Environment(), "", -1, -1, -1);
  run.exitCode =
      Reap(pid, start + std::chrono::milliseconds(static_cast<int64_t>(timeoutSeconds * 1000)));
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.timedOut = run.exitCode == -1;
  return run;
}

ToolRun WineHost::Run(const std::vector<std::string>& args, double timeoutSeconds) const {
  ToolRun run = RunProgram(FindProgram("wine"), args, Environment(), "", "", timeoutSeconds);
  run.out = PosixLineEnds(run.out);
  return run;
}

void WineHost::SetCom3(const std::string& device) {
  fs::path link = fs::path(prefix_) / "dosdevices" / "com3";
  std::error_code ignored;
  fs::remove(link, ignored);
  if (!device.empty()) fs::create_symlink(device, link, ignored);
}

bool WineHost::SetTargetDir(const std::string& windowsPath) {
  return Wine({"reg", "add", kInstallationKey, "/v", "TargetDir", "/t", "REG_SZ", "/d", windowsPath,
               "/f"},
              60)
             .exitCode == 0;
}

bool WineHost::DeleteInstallationRecord() {
  Wine({"reg", "delete", kInstallationKey, "/f"}, 60);
  return Wine({"reg", "query", kInstallationKey}, 60).exitCode != 0;
}

bool WineHost::Prepare(const Installation& installation, const BenchProcess& bench) {
  SetCom3(bench.ReadyValue("COM3"));
  return SetTargetDir(WindowsPath(installation.InstallDir()));
}

WineProcess::WineProcess(const WineHost& host, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env,
                         const std::string& workDir) {
  auto environment = host.Environment();
  for (const auto& [key, value] : env)
    environment[key] = value;
  std::vector<std::string> argv{FindProgram("wine")};
  argv.insert(argv.end(), args.begin(), args.end());
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return;
  signal(SIGPIPE, SIG_IGN);
  pid_ = Spawn(argv, environment, workDir, in[0], out[1], err[1]);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  input_ = in[1];
  collector_ = std::thread(&WineProcess::Collect, this, out[0], err[0]);
}

namespace {

std::map<std::string, std::string> ToolEnvironment(const WineHost& host,
                                                   const Installation& installation,
                                                   const BenchProcess& bench,
                                                   const std::map<std::string, std::string>& env) {
  auto environment = installation.Environment(bench);
  for (const auto& [key, value] : host.Environment())
    environment[key] = value;
  for (const auto& [key, value] : env)
    environment[key] = value;
  return environment;
}

}  // namespace

WineProcess::WineProcess(const WineHost& host, const Installation& installation,
                         const BenchProcess& bench, const std::map<std::string, std::string>& env)
    : WineProcess(host, {WindowsProgram("tapcal.exe")},
                  ToolEnvironment(host, installation, bench, env), installation.WorkDir()) {}

WineProcess::~WineProcess() {
  if (pid_ > 0) Wait(0);
  CloseInput();
  if (collector_.joinable()) collector_.join();
}

void WineProcess::Collect(int out, int err) {
  pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
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
      std::lock_guard lock(mutex_);
      (&pfd == &fds[0] ? out_ : err_).append(chunk, static_cast<size_t>(got));
    }
  }
  for (auto& pfd : fds)
    if (pfd.fd >= 0) close(pfd.fd);
  std::lock_guard lock(mutex_);
  outputEnded_ = true;
}

void WineProcess::SendKeys(const std::string& keys) {
  if (input_ < 0) return;
  ssize_t written = write(input_, keys.data(), keys.size());
  (void)written;  // a tool that has ended reads no keys; the test judges its output
}

void WineProcess::CloseInput() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

std::string WineProcess::Output() const {
  std::lock_guard lock(mutex_);
  return PosixLineEnds(out_);
}

ToolRun WineProcess::Wait(double timeoutSeconds) {
  ToolRun run;
  if (pid_ <= 0) return run;
  auto start = Clock::now();
  run.exitCode =
      Reap(pid_, start + std::chrono::milliseconds(static_cast<int64_t>(timeoutSeconds * 1000)));
  run.timedOut = run.exitCode == -1;
  pid_ = -1;
  // The output ends with the process; a killed one may leave nothing more to read.
  if (collector_.joinable()) collector_.join();
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::lock_guard lock(mutex_);
  run.out = PosixLineEnds(out_);
  run.err = err_;
  return run;
}

ToolRun RunWineTool(WineHost& host, const Installation& installation, const BenchProcess& bench,
                    const std::string& keys, double timeoutSeconds,
                    const std::map<std::string, std::string>& env) {
  WineProcess tool(host, installation, bench, env);
  tool.SendKeys(keys);
  tool.CloseInput();
  return tool.Wait(timeoutSeconds);
}

}  // namespace testing_support
