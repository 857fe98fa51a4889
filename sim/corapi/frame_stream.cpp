#include "frame_stream.h"

#include <algorithm>
#include <cstring>

namespace corapi_sim {

namespace {

// What a read asks for at most before the frame's buffer grows again.
constexpr size_t kReadChunk = size_t{1} << 20;

uint32_t Le32(const uint8_t* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

}  // namespace

std::optional<size_t> ImageBytes(uint32_t width, uint32_t height, uint32_t bytesPerPixel) {
  if (width == 0 || height == 0 || bytesPerPixel == 0) return std::nullopt;
  // Each factor is checked against the bound before the product can wrap.
  if (width > kMaxFrameBytes || height > kMaxFrameBytes / width ||
      bytesPerPixel > kMaxFrameBytes / (size_t{width} * height))
    return std::nullopt;
  return size_t{width} * height * bytesPerPixel;
}

std::optional<Frame> ParseFrameHeader(const uint8_t* header) {
  if (std::memcmp(header, "TCLF", 4) != 0) return std::nullopt;
  Frame frame;
  frame.width = Le32(header + 4);
  frame.height = Le32(header + 8);
  frame.bits = Le32(header + 12);
  frame.number = Le32(header + 16) | uint64_t{Le32(header + 20)} << 32;
  if (frame.bits == 0 || frame.bits > 16) return std::nullopt;
  if (!ImageBytes(frame.width, frame.height, frame.BytesPerPixel())) return std::nullopt;
  return frame;
}

bool ReadFrame(const ReadExact& read, std::vector<uint8_t>& pixels, Frame* frame) {
  uint8_t header[kFrameHeaderSize];
  if (!read(header, sizeof header)) return false;
  auto parsed = ParseFrameHeader(header);
  if (!parsed) return false;
  const size_t size = *ImageBytes(parsed->width, parsed->height, parsed->BytesPerPixel());
  // The buffer keeps its size from frame to frame; it grows a chunk ahead of what has come.
  for (size_t got = 0; got < size;) {
    const size_t want = std::min(size, got + kReadChunk);
    if (pixels.size() < want) pixels.resize(want);
    if (!read(pixels.data() + got, want - got)) return false;
    got = want;
  }
  *frame = *parsed;
  frame->pixels = pixels.data();
  return true;
}

bool FrameFits(const Frame& frame, uint32_t width, uint32_t height, uint32_t bits) {
  return frame.width == width && frame.height == height && frame.bits == bits;
}

void CopyFrame(const Frame& frame, uint8_t* image, uint32_t bytesPerPixel) {
  const size_t count = size_t{frame.width} * frame.height;
  if (frame.BytesPerPixel() == bytesPerPixel) {
    std::memcpy(image, frame.pixels, count * bytesPerPixel);
  } else if (bytesPerPixel == 1) {  // deep pixels into bytes: the top eight bits
    const uint32_t shift = frame.bits - 8;
    for (size_t i = 0; i < count; ++i) {
      uint32_t value = (frame.pixels[2 * i] | frame.pixels[2 * i + 1] << 8) >> shift;
      image[i] = static_cast<uint8_t>(std::min<uint32_t>(value, 255));
    }
  } else {
    for (size_t i = 0; i < count; ++i) {
      image[2 * i] = frame.pixels[i];
      image[2 * i + 1] = 0;
    }
  }
}

}  // namespace corapi_sim
