#include "platform/resource_script_posix.h"

#include <limits.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <vector>

namespace platform {

namespace {

// The window styles that mean something here; other names are read and ignored.
constexpr uint32_t kWsPopup = 0x80000000;
constexpr uint32_t kWsCaption = 0x00C00000;  // border and dialog frame
constexpr uint32_t kWsBorder = 0x00800000;
constexpr uint32_t kWsDlgFrame = 0x00400000;
constexpr uint32_t kWsSysMenu = 0x00080000;
constexpr uint32_t kWsThickFrame = 0x00040000;

uint32_t StyleFlag(const std::string& name) {
  static const std::map<std::string, uint32_t> flags{
      {"WS_POPUP", kWsPopup},       {"WS_CAPTION", kWsCaption}, {"WS_BORDER", kWsBorder},
      {"WS_DLGFRAME", kWsDlgFrame}, {"WS_SYSMENU", kWsSysMenu}, {"WS_THICKFRAME", kWsThickFrame},
      {"WS_SIZEBOX", kWsThickFrame}};
  auto found = flags.find(name);
  return found == flags.end() ? 0 : found->second;
}

struct ParsedDialog {
  std::string caption;
  uint32_t style = 0;
};

}  // namespace

struct ResourceModule {
  std::map<int, ParsedDialog> dialogs;
};

namespace {

// Splits a statement line into words, quoted strings (kept with their opening quote; "" inside
// one is a quote) and single punctuation characters; a // comment ends the line.
std::vector<std::string> Tokens(const std::string& line) {
  std::vector<std::string> tokens;
  auto isWord = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
  for (size_t i = 0; i < line.size();) {
    char c = line[i];
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (c == '/' && i + 1 < line.size() && line[i + 1] == '/') {
      break;
    } else if (c == '"') {
      std::string text = "\"";
      for (++i; i < line.size(); ++i) {
        if (line[i] == '"' && i + 1 < line.size() && line[i + 1] == '"') {
          text += '"';
          ++i;
        } else if (line[i] == '"') {
          break;
        } else if (line[i] == '\\' && i + 1 < line.size()) {
          char next = line[++i];
          text += next == 'n' ? '\n' : next == 't' ? '\t' : next;
        } else {
          text += line[i];
        }
      }
      ++i;
      tokens.push_back(text);
    } else if (isWord(c)) {
      size_t end = i;
      while (end < line.size() && isWord(line[end]))
        ++end;
      tokens.push_back(line.substr(i, end - i));
      i = end;
    } else {
      tokens.push_back(std::string(1, c));
      ++i;
    }
  }
  return tokens;
}

// A STYLE statement: names and numbers joined by |, each possibly preceded by NOT.
uint32_t ParseStyle(const std::vector<std::string>& tokens) {
  uint32_t style = 0;
  bool negate = false;
  for (size_t i = 1; i < tokens.size(); ++i) {
    const std::string& token = tokens[i];
    if (token == "NOT") {
      negate = true;
      continue;
    }
    if (token == "|") continue;
    uint32_t flag = std::isdigit(static_cast<unsigned char>(token[0]))
                        ? static_cast<uint32_t>(std::strtoul(token.c_str(), nullptr, 0))
                        : StyleFlag(token);
    style = negate ? style & ~flag : style | flag;
    negate = false;
  }
  return style;
}

std::unique_ptr<ResourceModule> ParseResourceScript(std::istream& in) {
  auto module = std::make_unique<ResourceModule>();
  ParsedDialog* dialog = nullptr;
  int depth = 0;  // inside a resource's BEGIN ... END
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> tokens = Tokens(line);
    if (tokens.empty() || tokens[0] == "#") continue;
    if (tokens[0] == "BEGIN" || tokens[0] == "{") {
      ++depth;
    } else if (tokens[0] == "END" || tokens[0] == "}") {
      if (depth > 0 && --depth == 0) dialog = nullptr;
    } else if (depth > 0) {
      continue;
    } else if (tokens.size() >= 2 && (tokens[1] == "DIALOG" || tokens[1] == "DIALOGEX") &&
               std::isdigit(static_cast<unsigned char>(tokens[0][0]))) {
      dialog = &module->dialogs[std::atoi(tokens[0].c_str())];
      *dialog = {"", kWsPopup | kWsBorder | kWsSysMenu};  // the resource compiler's default
    } else if (dialog && tokens[0] == "STYLE") {
      dialog->style = ParseStyle(tokens);
    } else if (dialog && tokens[0] == "CAPTION" && tokens.size() >= 2 && tokens[1][0] == '"') {
      dialog->caption = tokens[1].substr(1);
      dialog->style |= kWsCaption;  // as the resource compiler adds it
    }
  }
  return module;
}

std::string ExecutableDirectory() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return "";
  std::string executable(path, static_cast<size_t>(length));
  return executable.substr(0, executable.rfind('/') + 1);
}

}  // namespace

ResourceModule* LoadResourceModule(const char* name) {
  std::string file = std::string(name) + ".rc";
  std::vector<std::string> candidates;
  if (const char* path = std::getenv("TAPCAL_DISPRESOURCES"); path && *path)
    candidates.push_back(path);
  candidates.push_back(ExecutableDirectory() + file);
  candidates.push_back(file);
  for (const std::string& candidate : candidates) {
    std::ifstream in(candidate, std::ios::binary);
    if (in) return ParseResourceScript(in).release();
  }
  return nullptr;
}

void FreeResourceModule(ResourceModule* module) {
  delete module;
}

DialogTemplate FindDialogTemplate(const ResourceModule* module, int id) {
  DialogTemplate dialog;
  if (!module) return dialog;
  auto found = module->dialogs.find(id);
  if (found == module->dialogs.end()) return dialog;
  dialog.caption = found->second.caption;
  dialog.captioned = (found->second.style & kWsCaption) == kWsCaption;
  dialog.resizable = (found->second.style & kWsThickFrame) != 0;
  return dialog;
}

}  // namespace platform
