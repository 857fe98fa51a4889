#include "serial_camera.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>

#include "net_util.h"
#include "parse.h"

namespace sim {

namespace {

constexpr size_t kMaxLine = 64;  // a longer line without a carriage return is refused
constexpr int kDefaultGarbage = 3;

// Text for the JSON state, which must be UTF-8: printable ASCII and the line ends stay, other
// bytes become \xNN.
std::string Printable(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if ((c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n') {
      text += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      text += escaped;
    }
  }
  return text;
}

std::string UtcNow() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

bool ParseCount(const std::string& text, int low, int high, int* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long parsed = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
  *value = static_cast<int>(parsed);
  return true;
}

nlohmann::json RegistersJson(CameraRegisters registers) {
  nlohmann::json json = nlohmann::json::object();
  ForEachCameraRegister(registers, [&](const char* name, int& value) { json[name] = value; });
  return json;
}

void MakeRaw(int fd) {
  termios mode{};
  if (tcgetattr(fd, &mode) != 0) return;
  cfmakeraw(&mode);
  cfsetispeed(&mode, B9600);
  cfsetospeed(&mode, B9600);
  tcsetattr(fd, TCSANOW, &mode);
}

}  // namespace

SerialCamera::~SerialCamera() {
  loop_ = nullptr;  // the loop may be gone already on an early end of main
  Shutdown();
}

std::vector<Option> SerialCamera::Options() {
  const std::string more = "\n" + std::string(27, ' ');
  return {{"camera-link", "PATH",
           "link to the camera's pty; the ready file names it as COM3=PATH" + more +
               "(default: COM3 in a new temporary directory, removed at exit)." + more +
               "Each command \":MNEMONIC[=VALUE]\\r\" gets three bytes, the" + more +
               "acknowledgement first: o\\r\\n, or e\\r\\n when refused (unknown" + more +
               "mnemonic, lower-case hex, wrong number of digits, out of range)." + more +
               "Registers: SMB 0|4, DDP 0|1, ADS 001..1E0, MGA MGB VRA VRB 000..FFF;" + more +
               "SMDA changes none. WRPGn (n 1..4) saves the registers in page n," + more +
               "kept in the state file for the next run. The state lists every" + more +
               "command received, with its time and the reply. The first four" + more +
               "faults below exclude one another; the value off clears a fault.",
           [this](const std::string& value) {
             linkPath_ = value;
             return !value.empty();
           }},
          {"camera-log", "N",
           "commands kept in the state, the latest; older ones are only counted (default 10000)",
           [this](const std::string& value) {
             int kept = 0;
             if (!ParseInt(value, 1000000, &kept) || kept < 1) return false;
             receivedKept_ = static_cast<size_t>(kept);
             return true;
           }}};
}

std::vector<Fault> SerialCamera::Faults() const {
  return {
      {"silent", "", "camera: acts on commands but its replies never come"},
      {"refuse", "", "camera: answers every command with e\\r\\n and acts on none"},
      {"ack-then-silent", "", "camera: answers each command with a lone o, nothing after it"},
      {"ack-and-refuse", "", "camera: answers each command with o and e in one reply (oe\\n)"},
      {"late", "MS", "camera: sends each reply MS milliseconds late (1..60000)"},
      {"garbage", "N",
       "camera: sends N noise bytes, never o or e, before each reply\n" + std::string(27, ' ') +
           "(no value: 3)"},
      {"unplugged", "N",
       "camera: pulls the cable: the pty closes and the link is removed, so\n" +
           std::string(27, ' ') + "the next open of COM3 fails; with N, at the first byte\n" +
           std::string(27, ' ') + "after N more commands. off plugs a new pty in behind\n" +
           std::string(27, ' ') + "the same link; registers and pages survive"},
  };
}

bool SerialCamera::SetFault(const std::string& name, const std::string& value) {
  bool off = value == "off";
  bool on = value.empty() || value == "on";
  auto setReplies = [&](Replies fault) {
    if (!off && !on) return false;
    if (!off)
      replies_ = fault;
    else if (replies_ == fault)
      replies_ = Replies::kNormal;
    return true;
  };
  if (name == "silent") return setReplies(Replies::kSilent);
  if (name == "refuse") return setReplies(Replies::kRefuse);
  if (name == "ack-then-silent") return setReplies(Replies::kAckThenSilent);
  if (name == "ack-and-refuse") return setReplies(Replies::kAckAndRefuse);
  if (name == "late") {
    if (off) return lateMs_ = 0, true;
    return ParseCount(value, 1, 60000, &lateMs_);
  }
  if (name == "garbage") {
    if (off) return garbageBytes_ = 0, true;
    if (value.empty()) return garbageBytes_ = kDefaultGarbage, true;
    return ParseCount(value, 1, 64, &garbageBytes_);
  }
  if (name == "unplugged") {
    if (off) {
      unplugAfter_ = -1;
      if (!unplugged_) return true;
      unplugged_ = false;
      return !loop_ || Plug();
    }
    if (unplugged_) return on;  // already out
    if (!on) return ParseCount(value, 0, 1000000, &unplugAfter_);
    unplugAfter_ = -1;
    if (loop_)
      Unplug("unplugged");
    else
      unplugged_ = true;
    return true;
  }
  return false;
}

bool SerialCamera::Start(EventLoop& loop, std::vector<std::string>& readyLines) {
  loop_ = &loop;
  noiseState_ = world_.seed * 6364136223846793005ULL + 1442695040888963407ULL;
  if (linkPath_.empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "tapcal-sim-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
      std::cerr << "camera: cannot make a temporary directory: " << std::strerror(errno) << "\n";
      return false;
    }
    ownDir_ = pattern;
    linkPath_ = ownDir_ + "/COM3";
  } else {
    // Never replace a file that is not a link (a stale link from an earlier run is fine).
    struct stat info;
    if (lstat(linkPath_.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
      std::cerr << "camera: " << linkPath_ << " exists and is not a symbolic link\n";
      return false;
    }
  }
  if (!unplugged_ && !Plug()) return false;
  readyLines.push_back("COM3=" + linkPath_);
  return true;
}

void SerialCamera::Shutdown() {
  if (master_ >= 0) {
    if (loop_) loop_->Unwatch(master_);
    RemoveLink();
    close(master_);
    close(holder_);
    master_ = holder_ = -1;
    ptyPath_.clear();
    SetLinked(false);
  }
  if (!ownDir_.empty()) {
    rmdir(ownDir_.c_str());
    ownDir_.clear();
  }
  loop_ = nullptr;
}

bool SerialCamera::Plug() {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  char path[128];
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
      ptsname_r(master, path, sizeof path) != 0) {
    std::cerr << "camera: cannot make a pty: " << std::strerror(errno) << "\n";
    if (master >= 0) close(master);
    return false;
  }
  // Without an open terminal side, the master reads as hung up whenever the tool has closed the
  // port, which would spin the loop.
  int holder = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (holder < 0) {
    std::cerr << "camera: cannot open " << path << ": " << std::strerror(errno) << "\n";
    close(master);
    return false;
  }
  MakeRaw(holder);
  if (!PlaceLink(path)) {
    close(holder);
    close(master);
    return false;
  }
  master_ = master;
  holder_ = holder;
  ptyPath_ = path;
  pending_.clear();
  ++generation_;
  unplugged_ = false;
  loop_->Watch(master_, [this] { OnReadable(); });
  SetLinked(true);
  LogEvent("plugged");
  return true;
}

void SerialCamera::Unplug(const char* why) {
  unplugged_ = true;
  unplugAfter_ = -1;
  if (master_ < 0) return;
  loop_->Unwatch(master_);
  // The link goes first: the pty's number is free for anyone once it is closed, and a link left
  // behind would lead the next open of COM3 to someone else's terminal.
  RemoveLink();
  close(master_);
  close(holder_);
  master_ = holder_ = -1;
  ptyPath_.clear();
  pending_.clear();
  ++generation_;
  SetLinked(false);
  LogEvent(why);
}

bool SerialCamera::PlaceLink(const std::string& target) {
  std::string staged = linkPath_ + ".new";
  unlink(staged.c_str());
  if (symlink(target.c_str(), staged.c_str()) != 0 || rename(staged.c_str(), linkPath_.c_str())) {
    std::cerr << "camera: cannot link " << linkPath_ << ": " << std::strerror(errno) << "\n";
    unlink(staged.c_str());
    return false;
  }
  return true;
}

void SerialCamera::RemoveLink() {
  char target[256];
  ssize_t size = readlink(linkPath_.c_str(), target, sizeof target - 1);
  if (size < 0) return;
  target[size] = '\0';
  if (ptyPath_ == target) unlink(linkPath_.c_str());  // only a link that is still ours
}

void SerialCamera::OnReadable() {
  char chunk[256];
  ssize_t got = read(master_, chunk, sizeof chunk);
  if (got <= 0) return;
  for (ssize_t i = 0; i < got && master_ >= 0; ++i) {
    if (unplugAfter_ == 0) {
      Unplug("unplugged");
      return;
    }
    pending_ += chunk[i];
    if (chunk[i] == '\r' || pending_.size() >= kMaxLine) {
      std::string line;
      line.swap(pending_);
      HandleLine(line);
    }
  }
}

void SerialCamera::HandleLine(const std::string& line) {
  double now = world_.Now();
  std::string text = line.back() == '\r' ? line.substr(0, line.size() - 1) : std::string();
  auto command = ParseCameraCommand(text);
  bool actsOnIt = command && replies_ != Replies::kRefuse;
  if (actsOnIt) {
    if (command->kind == CameraCommand::Kind::kSetRegister) {
      std::lock_guard lock(world_.mutex);
      SetCameraRegister(world_.camera, *command);
    } else if (command->kind == CameraCommand::Kind::kWritePage) {
      std::lock_guard lock(world_.mutex);
      pages_[command->value - 1] = Page{world_.camera, UtcNow(), now};
    }
  }
  std::string reply = Noise(garbageBytes_) + ReplyFor(command.has_value());

  if (received_.size() >= receivedKept_) {
    received_.erase(received_.begin());
    ++receivedDropped_;
  }
  received_.push_back({{"t", now},
                       {"command", Printable(line)},
                       {"accepted", actsOnIt},
                       {"reply", Printable(reply)},
                       {"late_ms", lateMs_}});

  if (unplugAfter_ > 0) --unplugAfter_;
  if (lateMs_ > 0) {
    loop_->After(std::chrono::milliseconds(lateMs_), [this, reply, generation = generation_] {
      if (generation == generation_) Send(reply);
    });
  } else {
    Send(reply);
  }
}

std::string SerialCamera::ReplyFor(bool valid) {
  switch (replies_) {
    case Replies::kSilent:
      return "";
    case Replies::kRefuse:
      return "e\r\n";
    case Replies::kAckThenSilent:
      return "o";
    case Replies::kAckAndRefuse:
      return "oe\n";
    case Replies::kNormal:
      break;
  }
  return valid ? "o\r\n" : "e\r\n";
}

std::string SerialCamera::Noise(int count) {
  std::string noise;
  while (static_cast<int>(noise.size()) < count) {
    noiseState_ = noiseState_ * 6364136223846793005ULL + 1442695040888963407ULL;
    char byte = static_cast<char>(noiseState_ >> 56);
    if (byte != 'o' && byte != 'e') noise += byte;
  }
  return noise;
}

void SerialCamera::Send(const std::string& bytes) {
  if (master_ >= 0 && !bytes.empty()) WriteAll(master_, bytes.data(), bytes.size());
}

void SerialCamera::SetLinked(bool linked) {
  std::lock_guard lock(world_.mutex);
  world_.cameraLinked = linked;
}

void SerialCamera::LogEvent(const std::string& what) {
  events_.push_back({{"t", world_.Now()}, {"event", what}});
}

nlohmann::json SerialCamera::State() {
  nlohmann::json state;
  CameraRegisters registers;
  bool linked;
  {
    std::lock_guard lock(world_.mutex);
    registers = world_.camera;
    linked = world_.cameraLinked;
  }
  state["link"] = linkPath_;
  state["pty"] = ptyPath_;
  state["linked"] = linked;
  state["registers"] = RegistersJson(registers);
  nlohmann::json pages = nlohmann::json::object();
  for (int i = 0; i < kCameraPages; ++i) {
    nlohmann::json page = nullptr;
    if (pages_[i]) {
      page = RegistersJson(pages_[i]->registers);
      page["written_at"] = pages_[i]->writtenAt;
      page["t"] = pages_[i]->benchSeconds;
    }
    pages[std::to_string(i + 1)] = page;
  }
  state["pages"] = pages;
  static const char* const kReplyNames[] = {"normal", "silent", "refuse", "ack-then-silent",
                                            "ack-and-refuse"};
  state["faults"] = {{"replies", kReplyNames[static_cast<int>(replies_)]},
                     {"late_ms", lateMs_},
                     {"garbage", garbageBytes_},
                     {"unplugged", unplugged_},
                     {"unplug_after", unplugAfter_}};
  state["received"] = received_;
  state["received_dropped"] = receivedDropped_;
  state["events"] = events_;
  return state;
}

void SerialCamera::Restore(const nlohmann::json& saved) {
  if (!saved.is_object() || !saved.contains("pages") || !saved["pages"].is_object()) return;
  const nlohmann::json& pages = saved["pages"];
  for (int i = 0; i < kCameraPages; ++i) {
    std::string key = std::to_string(i + 1);
    if (!pages.contains(key) || !pages[key].is_object()) continue;
    const nlohmann::json& page = pages[key];
    Page restored{};
    bool complete = true;
    ForEachCameraRegister(restored.registers, [&](const char* name, int& value) {
      if (page.contains(name) && page[name].is_number_integer())
        value = page[name].get<int>();
      else
        complete = false;
    });
    if (!complete) continue;  // a page the bench cannot read back is as if never written
    restored.writtenAt = page.value("written_at", "");
    restored.benchSeconds = page.value("t", 0.0);
    pages_[i] = restored;
  }
}

}  // namespace sim
