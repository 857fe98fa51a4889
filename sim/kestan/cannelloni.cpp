#include "cannelloni.h"

#include <algorithm>

namespace cannelloni {

namespace {
constexpr uint8_t kFdLengthFlag = 0x80;
constexpr uint8_t kClassicMax = 8;
constexpr uint8_t kFdMax = 64;
}  // namespace

Frame DataFrame(uint32_t id, const uint8_t* bytes, uint8_t length) {
  Frame frame;
  frame.canId = id & kStandardIdMask;
  frame.length = std::min(length, kClassicMax);
  std::copy(bytes, bytes + frame.length, frame.data.begin());
  return frame;
}

std::vector<uint8_t> Encode(const std::vector<Frame>& frames, uint8_t sequence) {
  std::vector<uint8_t> out{kVersion, kOpData, sequence, static_cast<uint8_t>(frames.size() >> 8),
                           static_cast<uint8_t>(frames.size())};
  for (const Frame& frame : frames) {
    for (int shift = 24; shift >= 0; shift -= 8)
      out.push_back(static_cast<uint8_t>(frame.canId >> shift));
    uint8_t length = std::min(frame.length, frame.fd ? kFdMax : kClassicMax);
    if (frame.fd) {
      out.push_back(length | kFdLengthFlag);
      out.push_back(frame.fdFlags);
    } else {
      out.push_back(length);
    }
    if (!frame.IsRemote()) out.insert(out.end(), frame.data.begin(), frame.data.begin() + length);
  }
  return out;
}

bool Decode(const uint8_t* bytes, size_t size, std::vector<Frame>& frames) {
  frames.clear();
  if (size < kHeaderSize || bytes[0] != kVersion || bytes[1] != kOpData) return false;
  size_t count = (size_t{bytes[3]} << 8) | bytes[4];
  size_t at = kHeaderSize;
  auto fail = [&frames] {
    frames.clear();
    return false;
  };
  for (size_t n = 0; n < count; ++n) {
    if (size - at < 5) return fail();
    Frame frame;
    frame.canId = (uint32_t{bytes[at]} << 24) | (uint32_t{bytes[at + 1]} << 16) |
                  (uint32_t{bytes[at + 2]} << 8) | bytes[at + 3];
    uint8_t length = bytes[at + 4];
    at += 5;
    if (length & kFdLengthFlag) {
      frame.fd = true;
      length &= static_cast<uint8_t>(~kFdLengthFlag);
      if (length > kFdMax || at >= size) return fail();
      frame.fdFlags = bytes[at++];
    } else if (length > kClassicMax) {
      return fail();
    }
    frame.length = length;
    if (!frame.IsRemote()) {
      if (size - at < length) return fail();
      std::copy(bytes + at, bytes + at + length, frame.data.begin());
      at += length;
    }
    frames.push_back(frame);
  }
  if (at != size) return fail();
  return true;
}

}  // namespace cannelloni
