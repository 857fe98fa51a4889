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

#include "bridge_link.h"
#include "canopen_instrument.h"
#include "control_channel.h"
#include "device.h"
#include "event_loop.h"
#include "frame_source.h"
#include "parse.h"
#include "serial_camera.h"
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

// One entry of the help: the head in the left column, the text word-wrapped beside it.
void PrintEntry(const std::string& head, const std::string& text) {
  constexpr size_t kIndent = 28, kWidth = 100;
  std::string out = "  " + head;
  if (out.size() + 1 > kIndent)
    out += "\n" + std::string(kIndent, ' ');
  else
    out.resize(kIndent, ' ');
  size_t column = kIndent;
  std::istringstream words(text);
  bool first = true;
  for (std::string word; words >> word; first = false) {
    if (!first && column + 1 + word.size() > kWidth) {
      out += "\n" + std::string(kIndent, ' ');
      column = kIndent;
    } else if (!first) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
  }
  std::cout << out << "\n";
}

void PrintHelp(std::vector<std::unique_ptr<sim::Device>>& devices) {
  std::cout << "usage: tapcal-sim [options]\n\n"
               "The stand-in bench for tapcal: every device the tool reaches, on loopback.\n"
               "It writes KEY=value lines (a shell can source them) to the ready file once\n"
               "everything listens, and stops cleanly on SIGTERM, SIGINT or the control command\n"
               "quit. Ready-file keys: CONTROL and SIM_PID, plus those of the devices below.\n\n";
  PrintEntry("--ready FILE", "where to write the ready file");
  PrintEntry("--state FILE",
             "the state file: read at start (what the devices keep across runs), written as JSON "
             "on 'save' and at exit");
  PrintEntry("--seed N", "seed for everything drawn at random (default 1)");
  PrintEntry("--control-port N", "control channel port on 127.0.0.1 (default: any free)");
  PrintEntry("--fault NAME[=VALUE]", "switch a fault on at start (repeatable)");
  PrintEntry("--help", "this text");
  std::cout << "\nControl channel (one command a line, one reply a line):\n";
  PrintEntry("state",
             "the full state as one line of JSON: per device its objects, counters and "
             "traffic");
  PrintEntry("fault NAME [VALUE]",
             "switch a fault on (with its VALUE, if it takes one); VALUE off "
             "clears it. Replies ok or error: ...");
  PrintEntry("save", "write the state file now");
  PrintEntry("quit", "stop the bench");
  for (auto& device : devices) {
    auto options = device->Options();
    auto faults = device->Faults();
    if (options.empty() && faults.empty()) continue;
    std::cout << "\n" << device->Name() << ":\n";
    for (auto& option : options)
      PrintEntry("--" + option.name + (option.arg.empty() ? "" : " " + option.arg), option.help);
    for (auto& fault : faults) {
      // An argument written "[X]" is optional.
      std::string arg = fault.arg.empty()          ? ""
                        : fault.arg.front() == '[' ? "[=" + fault.arg.substr(1)
                                                   : "=" + fault.arg;
      PrintEntry("fault " + fault.name + arg, fault.help);
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
  auto instrument = std::make_unique<sim::CanOpenInstrument>(world);
  devices.push_back(std::make_unique<sim::BridgeLink>(*instrument, world));
  devices.insert(devices.begin(), std::move(instrument));
  devices.push_back(std::make_unique<sim::SerialCamera>(world));

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
      ok = takeValue() && sim::ParseUnsigned(value, UINT64_MAX, &world.seed);
    } else if (name == "control-port") {
      ok = takeValue() && sim::ParseInt(value, 65535, &settings.controlPort);
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
