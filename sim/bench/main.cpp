// tapcal-sim: the whole stand-in bench in one process. Each device of the instrument is a Device;
// this file composes them, parses the options, writes the ready file and serves the control
// channel.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include "control_channel.h"
#include "device.h"
#include "event_loop.h"
#include "frame_source.h"
#include "world.h"

namespace {

sim::EventLoop* runningLoop = nullptr;

void OnStopSignal(int) {
  if (runningLoop) runningLoop->Stop();
}

struct Settings {
  std::string readyFile;
  std::string stateFile;
  int controlPort = 0;
  std::vector<std::pair<std::string, std::string>> faults;
};

void PrintHelp(std::vector<std::unique_ptr<sim::Device>>& devices) {
  std::cout << "usage: tapcal-sim [options]\n\n"
               "The stand-in bench for tapcal: every device the tool reaches, on loopback.\n"
               "It writes KEY=value lines (a shell can source them) to the ready file once\n"
               "everything listens, and stops cleanly on SIGTERM or the control command quit.\n\n"
               "  --ready FILE         where to write the ready file\n"
               "  --state FILE         the state file: read at start (saved camera pages),\n"
               "                       written as JSON on 'save' and at exit\n"
               "  --seed N             seed for everything drawn at random (default 1)\n"
               "  --control-port N     control channel port on 127.0.0.1 (default: any free)\n"
               "  --fault NAME[=VALUE] switch a fault on at start (repeatable)\n"
               "  --help               this text\n\n"
               "Control channel (one command a line, one reply a line):\n"
               "  state                the full state as JSON\n"
               "  fault NAME [VALUE]   switch a fault; VALUE off clears it\n"
               "  save                 write the state file now\n"
               "  quit                 stop the bench\n";
  for (auto& device : devices) {
    auto options = device->Options();
    auto faults = device->Faults();
    if (options.empty() && faults.empty()) continue;
    std::cout << "\n" << device->Name() << ":\n";
    for (auto& option : options) {
      std::string head = "--" + option.name + (option.arg.empty() ? "" : " " + option.arg);
      std::printf("  %-24s %s\n", head.c_str(), option.help.c_str());
    }
    for (auto& fault : faults) {
      std::string head = "fault " + fault.name + (fault.arg.empty() ? "" : "=" + fault.arg);
      std::printf("  %-24s %s\n", head.c_str(), fault.help.c_str());
    }
  }
}

bool SetFault(std::vector<std::unique_ptr<sim::Device>>& devices, const std::string& name,
              const std::string& value) {
  for (auto& device : devices)
    if (device->SetFault(name, value)) return true;
  return false;
}

nlohmann::json FullState(std::vector<std::unique_ptr<sim::Device>>& devices, sim::World& world) {
  nlohmann::json state;
  state["uptime_s"] = world.Now();
  state["seed"] = world.seed;
  for (auto& device : devices)
    state[device->Name()] = device->State();
  return state;
}

bool WriteFileAtomically(const std::string& path, const std::string& text) {
  std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    if (!(out << text)) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  sim::World world;
  std::vector<std::unique_ptr<sim::Device>> devices;
  // The bench's devices, each in its own file.
  devices.push_back(std::make_unique<sim::FrameSource>(world));

  Settings settings;
  std::map<std::string, sim::Option> deviceOptions;
  for (auto& device : devices)
    for (auto& option : device->Options())
      deviceOptions[option.name] = option;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      PrintHelp(devices);
      return 0;
    }
    if (arg.rfind("--", 0) != 0) {
      std::cerr << "tapcal-sim: unexpected argument " << arg << "\n";
      return 2;
    }
    std::string name = arg.substr(2), value;
    bool hasValue = false;
    if (auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      hasValue = true;
    }
    auto takeValue = [&]() -> bool {
      if (hasValue) return true;
      if (i + 1 >= argc) return false;
      value = argv[++i];
      return true;
    };
    bool ok = true;
    if (name == "ready") {
      ok = takeValue();
      settings.readyFile = value;
    } else if (name == "state") {
      ok = takeValue();
      settings.stateFile = value;
    } else if (name == "seed") {
      ok = takeValue();
      if (ok) world.seed = std::strtoull(value.c_str(), nullptr, 0);
    } else if (name == "control-port") {
      ok = takeValue();
      settings.controlPort = std::atoi(value.c_str());
    } else if (name == "fault") {
      ok = takeValue();
      auto eq = value.find('=');
      settings.faults.emplace_back(value.substr(0, eq),
                                   eq == std::string::npos ? "" : value.substr(eq + 1));
    } else if (auto it = deviceOptions.find(name); it != deviceOptions.end()) {
      // Options without an argument are switches.
      if (!it->second.arg.empty()) ok = takeValue();
      ok = ok && it->second.set(value);
    } else {
      std::cerr << "tapcal-sim: unknown option --" << name << " (see --help)\n";
      return 2;
    }
    if (!ok) {
      std::cerr << "tapcal-sim: bad or missing value for --" << name << "\n";
      return 2;
    }
  }

  if (!settings.stateFile.empty()) {
    std::ifstream in(settings.stateFile);
    if (in) {
      try {
        nlohmann::json saved = nlohmann::json::parse(in);
        for (auto& device : devices)
          if (saved.contains(device->Name())) device->Restore(saved[device->Name()]);
      } catch (const nlohmann::json::exception& error) {
        std::cerr << "tapcal-sim: ignoring unreadable state file: " << error.what() << "\n";
      }
    }
  }

  for (auto& [name, value] : settings.faults) {
    if (!SetFault(devices, name, value)) {
      std::cerr << "tapcal-sim: unknown fault or bad value: " << name << "\n";
      return 2;
    }
  }

  std::signal(SIGPIPE, SIG_IGN);
  sim::EventLoop loop;
  std::vector<std::string> readyLines;
  for (auto& device : devices) {
    if (!device->Start(loop, readyLines)) {
      std::cerr << "tapcal-sim: " << device->Name() << " could not start\n";
      return 1;
    }
  }

  auto saveState = [&]() {
    if (settings.stateFile.empty()) return true;
    return WriteFileAtomically(settings.stateFile, FullState(devices, world).dump(2) + "\n");
  };

  sim::ControlChannel control;
  bool controlStarted = control.Start(loop, settings.controlPort, [&](const std::string& line) {
    std::istringstream words(line);
    std::string command, name, value;
    words >> command >> name >> value;
    if (command == "state") return FullState(devices, world).dump();
    if (command == "fault") {
      if (name.empty()) return std::string("error: fault needs a name");
      return SetFault(devices, name, value) ? std::string("ok")
                                            : std::string("error: unknown fault or bad value");
    }
    if (command == "save") return saveState() ? std::string("ok") : std::string("error: save");
    if (command == "quit") {
      loop.Stop();
      return std::string("ok");
    }
    return std::string("error: unknown command");
  });
  if (!controlStarted) {
    std::cerr << "tapcal-sim: control channel could not start\n";
    return 1;
  }
  readyLines.push_back("CONTROL=127.0.0.1:" + std::to_string(control.Port()));
  readyLines.push_back("SIM_PID=" + std::to_string(getpid()));

  runningLoop = &loop;
  std::signal(SIGTERM, OnStopSignal);
  std::signal(SIGINT, OnStopSignal);

  if (!settings.readyFile.empty()) {
    std::string text;
    for (auto& line : readyLines)
      text += line + "\n";
    if (!WriteFileAtomically(settings.readyFile, text)) {
      std::cerr << "tapcal-sim: cannot write " << settings.readyFile << "\n";
      return 1;
    }
  }

  loop.Run();

  runningLoop = nullptr;
  control.Shutdown();
  for (auto& device : devices)
    device->Shutdown();
  if (!saveState()) std::cerr << "tapcal-sim: cannot write " << settings.stateFile << "\n";
  return 0;
}
