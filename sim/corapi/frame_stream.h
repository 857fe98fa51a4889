// The frame stream's reading, kept apart from the socket so that it can be driven with any bytes:
// each frame is a 32-byte header ("TCLF", width, height, bits per pixel as u32, frame number and
// capture time as u64, little-endian), then width x height pixels, a byte each up to 8 bits, else
// a 16-bit word.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace corapi_sim {

constexpr size_t kFrameHeaderSize = 32;
// The largest frame or buffer the library takes: far above any camera file's, so a header or an
// argument beyond it is nonsense, never a real image.
constexpr size_t kMaxFrameBytes = size_t{64} << 20;

// width x height elements of `bytesPerPixel`; nothing when that is 0 or above kMaxFrameBytes.
std::optional<size_t> ImageBytes(uint32_t width, uint32_t height, uint32_t bytesPerPixel);

struct Frame {
  uint32_t width = 0, height = 0, bits = 0;
  uint64_t number = 0;
  const uint8_t* pixels = nullptr;  // ImageBytes(width, height, BytesPerPixel()) of them

  uint32_t BytesPerPixel() const { return bits <= 8 ? 1 : 2; }
};

// A frame header's fields (pixels unset); nothing when it is not one this library can read:
// another magic, a side of 0, a depth outside 1..16, a frame above kMaxFrameBytes.
std::optional<Frame> ParseFrameHeader(const uint8_t* header);

// Reads exactly `size` bytes into `data`; false when the stream has ended.
using ReadExact = std::function<bool(uint8_t* data, size_t size)>;

// Reads the next frame into `pixels`, which grows only as the frame's bytes arrive, so a header
// that lies costs no more memory than the bytes sent. False when the stream ended or broke the
// format: nothing further of it can be framed.
bool ReadFrame(const ReadExact& read, std::vector<uint8_t>& pixels, Frame* frame);

// Whether the acquisition (the VIC's image, the camera's depth) can frame `frame`.
bool FrameFits(const Frame& frame, uint32_t width, uint32_t height, uint32_t bits);

// Copies a frame into an image of its geometry with elements of `bytesPerPixel` (1 or 2): deep
// pixels into bytes keep their top eight bits, shallow ones widen.
void CopyFrame(const Frame& frame, uint8_t* image, uint32_t bytesPerPixel);

}  // namespace corapi_sim
