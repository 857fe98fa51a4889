#include "support/installation.h"

#include <unistd.h>

#include <filesystem>

namespace testing_support {

namespace fs = std::filesystem;

std::string HostName() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

Installation::Installation(const std::string& macLine) {
  workDir_ = dir_.File("work");
  fs::create_directories(workDir_);
  fs::create_directories(dir_.File("inst/cfg"));
  std::error_code noCameraFiles;  // none yet: the run ends before they are read
  for (const auto& entry : fs::directory_iterator(SourcePath("camfiles"), noCameraFiles))
    fs::copy_file(entry.path(), fs::path(workDir_) / entry.path().filename());
  if (!macLine.empty())
    dir_.Write("inst/cfg/" + HostName() + ".1", "[Instrument]\r\n" + macLine + "\r\n");
  std::string escaped;
  for (char c : dir_.File("inst"))
    escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  registryFile_ =
      dir_.Write("registry.reg",
                 "Windows Registry Editor Version 5.00\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestan Corporation\\Install Data\\Norvale]\r\n"
                 "\"TargetDir\"=\"" +
                     escaped + "\"\r\n");
}

std::map<std::string, std::string> Installation::Environment(const BenchProcess& bench) const {
  return {{"TAPCAL_REGISTRY", registryFile_},
          {"TAPCAL_COM3", bench.ReadyValue("COM3")},
          {"TAPCAL_BRIDGES", bench.ReadyValue("BRIDGES")},
          {"TAPCAL_GRABBER", bench.ReadyValue("GRABBER")},
          {"DISPLAY", ""}};
}

ToolRun RunTool(const Installation& installation, const BenchProcess& bench,
                const std::string& keys, double timeoutSeconds) {
  return RunProgram(BuildPath("src/tapcal"), {}, installation.Environment(bench), keys,
                    installation.WorkDir(), timeoutSeconds);
}

}  // namespace testing_support
