// Registry values from a registry export file (the .reg text format that `reg export` writes):
// "Windows Registry Editor Version 5.00", [HKEY_LOCAL_MACHINE\...] sections and "Name"="value"
// lines with \\ and \" escapes; ASCII/UTF-8 or UTF-16LE with a byte-order mark; LF or CRLF.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace {

constexpr char kDefaultRegistryFile[] = "/etc/tapcal/registry.reg";
constexpr char kMachineRoot[] = "HKEY_LOCAL_MACHINE\\";

std::string LowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// The file's text as UTF-8, whatever encoding reg export used.
std::string DecodeFile(const std::string& bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::string text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      uint32_t unit = static_cast<unsigned char>(bytes[i]) |
                      static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
      if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
        uint32_t low = static_cast<unsigned char>(bytes[i + 2]) |
                       static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 3])) << 8;
        if (low >= 0xDC00 && low < 0xE000) {
          unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          i += 2;
        }
      }
      AppendUtf8(text, unit);
    }
    return text;
  }
  if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) return bytes.substr(3);
  return bytes;
}

// Logical lines: CR stripped, hex values continued over lines ending in a backslash joined.
std::vector<std::string> LogicalLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line, pending;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!pending.empty()) {
      size_t start = line.find_first_not_of(" \t");
      line = pending + (start == std::string::npos ? "" : line.substr(start));
      pending.clear();
    }
    // Only hex lists wrap onto further lines; a quoted value ends in its closing quote.
    bool continued = line.size() > 1 && line.back() == '\\' &&
                     LowerAscii(line).find("=hex") != std::string::npos;
    if (continued) {
      line.pop_back();
      pending = line;
      continue;
    }
    lines.push_back(line);
  }
  if (!pending.empty()) lines.push_back(pending);
  return lines;
}

// Reads a quoted string at text[pos] ('"'), undoing \\ and \" escapes; pos ends after the quote.
std::optional<std::string> ReadQuoted(const std::string& text, size_t& pos) {
  if (pos >= text.size() || text[pos] != '"') return std::nullopt;
  std::string value;
  for (++pos; pos < text.size(); ++pos) {
    char c = text[pos];
    if (c == '"') {
      ++pos;
      return value;
    }
    if (c == '\\' && pos + 1 < text.size()) c = text[++pos];
    value += c;
  }
  return std::nullopt;
}

// The bytes a value line holds, as the registry would hand them back; nullopt for a deletion or
// a line that cannot be read.
std::optional<std::string> ValueData(const std::string& data) {
  size_t pos = 0;
  if (!data.empty() && data[0] == '"') return ReadQuoted(data, pos);
  std::string lower = LowerAscii(data);
  if (lower.rfind("dword:", 0) == 0) {
    uint32_t number = static_cast<uint32_t>(std::strtoul(data.c_str() + 6, nullptr, 16));
    std::string bytes;
    for (int i = 0; i < 4; ++i)
      bytes += static_cast<char>((number >> (8 * i)) & 0xFF);
    return bytes;
  }
  if (lower.rfind("hex", 0) == 0) {
    size_t colon = data.find(':');
    if (colon == std::string::npos) return std::nullopt;
    std::string bytes;
    std::istringstream list(data.substr(colon + 1));
    for (std::string item; std::getline(list, item, ',');) {
      if (item.find_first_not_of(" \t") == std::string::npos) continue;
      bytes += static_cast<char>(std::strtoul(item.c_str(), nullptr, 16) & 0xFF);
    }
    // Expandable and multi strings are stored as UTF-16LE; hand them back as narrow text.
    if (lower.rfind("hex(2)", 0) == 0 || lower.rfind("hex(7)", 0) == 0) {
      std::string narrow;
      for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        uint32_t unit = static_cast<unsigned char>(bytes[i]) |
                        static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (unit == 0) break;
        AppendUtf8(narrow, unit);
      }
      return narrow;
    }
    return bytes;
  }
  return std::nullopt;
}

std::string ReadRegistryFile() {
  const char* path = std::getenv("TAPCAL_REGISTRY");
  std::ifstream in(path && *path ? path : kDefaultRegistryFile, std::ios::binary);
  if (!in) return {};
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

namespace platform {

bool ReadMachineRegistryString(const char* keyPath, const char* valueName, char* buffer,
                               size_t size) {
  std::string text = DecodeFile(ReadRegistryFile());
  if (text.empty() || size == 0) return false;

  const std::string wantedKey = LowerAscii(std::string(kMachineRoot) + keyPath);
  const std::string wantedName = LowerAscii(valueName);
  bool inKey = false;
  std::optional<std::string> found;
  for (const std::string& line : LogicalLines(text)) {
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      size_t close = line.rfind(']');
      std::string key = line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
      inKey = LowerAscii(key) == wantedKey;  // "[-...]" deletes a key: it never matches
      continue;
    }
    if (!inKey) continue;
    size_t pos = 0;
    std::optional<std::string> name;
    if (line[0] == '@') {
      name = "";
      pos = 1;
    } else {
      name = ReadQuoted(line, pos);
    }
    if (!name || LowerAscii(*name) != wantedName) continue;
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
      ++pos;
    if (pos >= line.size() || line[pos] != '=') continue;
    found = ValueData(line.substr(pos + 1));  // a later line of the same value wins, as on import
  }
  if (!found) return false;

  // The value and its terminating NUL must fit; a longer value is a failed read, never cut short.
  size_t length = std::strlen(found->c_str());
  if (length + 1 > size) return false;
  std::memcpy(buffer, found->c_str(), length + 1);
  return true;
}

}  // namespace platform
