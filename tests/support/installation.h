// An instrument host's installation in a temporary directory, for runs of the real tool against
// the real bench: the registry file naming the installation directory, the host's CAL file with
// the bridge's MAC address, and the camera files in the working directory.
#pragma once

#include <map>
#include <string>

#include "support/bench_process.h"

namespace testing_support {

class Installation {
 public:
  // `macLine` is the CAL file's MACADDRESS line ("" for none).
  explicit Installation(const std::string& macLine);

  // The working directory (with the camera files) and the environment for the tool: the
  // registry file and, from the bench's ready file, COM3, the bridges and the frame stream.
  const std::string& WorkDir() const { return workDir_; }
  std::map<std::string, std::string> Environment(const BenchProcess& bench) const;
  const std::string& RegistryFile() const { return registryFile_; }
  // The installation directory, which the registry names (its cfg holds the CAL file).
  std::string InstallDir() const { return dir_.File("inst"); }

 private:
  TempDir dir_;
  std::string workDir_;
  std::string registryFile_;
};

// The host's name as the tool sees it.
std::string HostName();

// Runs the tool against the bench from `installation`, with `keys` on standard input.
ToolRun RunTool(const Installation& installation, const BenchProcess& bench,
                const std::string& keys, double timeoutSeconds);

}  // namespace testing_support
