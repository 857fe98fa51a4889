// The instrument host as Windows, for the Windows package's runs: tapcal.exe and the cross-built
// DLLs under Wine, on an X server of their own (Xvfb), against the Linux tapcal-sim on loopback.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "support/bench_process.h"
#include "support/installation.h"
#include "support/xvfb_server.h"

namespace testing_support {

// A Wine prefix of its own in a temporary directory, initialised once: its Wine server kept alive
// for all the runs (wineserver -p), windows unmanaged (Managed=N: without a window manager every
// window close would otherwise cost two seconds) and no COM3. Everything it started is ended, by
// process id and through its own Wine server, when the object ends.
class WineHost {
 public:
  WineHost();
  ~WineHost();
  WineHost(const WineHost&) = delete;
  WineHost& operator=(const WineHost&) = delete;

  // False (with the reason in Failure()) when the X server, the prefix or the Wine server did not
  // come up.
  bool Ready() const { return failure_.empty(); }
  const std::string& Failure() const { return failure_; }
  const std::string& DisplayName() const { return xvfb_.Name(); }

  // The host of `installation` against `bench`: COM3 is the bench's camera, the installation
  // record names the installation's directory.
  bool Prepare(const Installation& installation, const BenchProcess& bench);
  // COM3 as `device` (a symbolic link in the prefix's dosdevices); "" leaves the host without it.
  void SetCom3(const std::string& device);
  // The installation record: TargetDir under HKEY_LOCAL_MACHINE, written with `wine reg add`.
  bool SetTargetDir(const std::string& windowsPath);
  bool DeleteInstallationRecord();

  // The environment of every Wine program of this host.
  std::map<std::string, std::string> Environment() const;
  // Runs a Wine program (e.g. {"reg", "add", ...}) to its end, its output thrown away.
  ToolRun Wine(const std::vector<std::string>& args, double timeoutSeconds) const;
  // Runs a Windows program to its end and keeps its output (with POSIX line ends).
  ToolRun Run(const std::vector<std::string>& args, double timeoutSeconds) const;

 private:
  TempDir dir_;
  std::string prefix_;
  XvfbServer xvfb_;
  pid_t wineserver_ = -1;
  std::string failure_;
};

// A program of the cross build (tapcal.exe, the test programs), by its file name.
std::string WindowsProgram(const std::string& name);
// The Windows path of a Linux path (drive Z: is the root).
std::string WindowsPath(const std::string& linuxPath);
// Console output as a POSIX program writes it: Windows text mode ends lines with CR LF.
std::string PosixLineEnds(const std::string& text);

// A Windows program running under Wine on `host`, its standard input open until CloseInput.
class WineProcess {
 public:
  // `args`: the program and its arguments; `env` over the host's environment.
  WineProcess(const WineHost& host, const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env = {}, const std::string& workDir = "");
  // tapcal.exe against `bench` from `installation` (its working directory, the bench's
  // endpoints), `env` added over that.
  WineProcess(const WineHost& host, const Installation& installation, const BenchProcess& bench,
              const std::map<std::string, std::string>& env = {});
  ~WineProcess();
  WineProcess(const WineProcess&) = delete;
  WineProcess& operator=(const WineProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  void SendKeys(const std::string& keys);
  // Ends standard input (for tapcal.exe: every further key reads as Escape).
  void CloseInput();
  // Standard output so far, with POSIX line ends.
  std::string Output() const;
  // Waits for the end (killing the program after `timeoutSeconds`); output with POSIX line ends.
  ToolRun Wait(double timeoutSeconds);

 private:
  void Collect(int out, int err);

  pid_t pid_ = -1;
  int input_ = -1;
  mutable std::mutex mutex_;
  std::string out_, err_;
  bool outputEnded_ = false;
  std::thread collector_;
};

// A whole run: `keys` on standard input, then its end.
ToolRun RunWineTool(WineHost& host, const Installation& installation, const BenchProcess& bench,
                    const std::string& keys, double timeoutSeconds,
                    const std::map<std::string, std::string>& env = {});

}  // namespace testing_support
