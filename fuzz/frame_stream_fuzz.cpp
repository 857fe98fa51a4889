// The grabber library's frame-stream reader on any bytes as the stream. The first frame read
// sets the acquisition's geometry, as the camera files would. Whatever comes, a frame handed on
// is exactly the header's geometry and the bytes that followed it, a frame fits the acquisition
// only in its geometry and copies into a buffer of exactly that size, the reader's buffer never
// grows far beyond the bytes that came, and the reading ends.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "frame_stream.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// The most the reader may hold beyond what it was sent: the chunk it reads ahead into.
constexpr size_t kSlack = size_t{1} << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t offset = 0;
  // A stream that ends: a read the bytes left cannot fill takes them and fails.
  const corapi_sim::ReadExact read = [&](uint8_t* to, size_t count) {
    if (size - offset < count) {
      offset = size;
      return false;
    }
    std::memcpy(to, data + offset, count);
    offset += count;
    return true;
  };

  std::vector<uint8_t> pixels;
  std::optional<corapi_sim::Frame> session;
  for (;;) {
    const size_t start = offset;
    corapi_sim::Frame frame;
    const bool read_one = corapi_sim::ReadFrame(read, pixels, &frame);
    Check(pixels.size() <= size + kSlack);
    if (!read_one) break;

    auto header = corapi_sim::ParseFrameHeader(data + start);
    Check(header && header->width == frame.width && header->height == frame.height &&
          header->bits == frame.bits && header->number == frame.number);
    const unsigned __int128 exact =
        static_cast<unsigned __int128>(frame.width) * frame.height * frame.BytesPerPixel();
    Check(exact <= corapi_sim::kMaxFrameBytes);
    const size_t bytes = static_cast<size_t>(exact);
    Check(offset - start == corapi_sim::kFrameHeaderSize + bytes);
    Check(std::memcmp(frame.pixels, data + start + corapi_sim::kFrameHeaderSize, bytes) == 0);

    if (!session) session = frame;
    const bool fits = corapi_sim::FrameFits(frame, session->width, session->height, session->bits);
    Check(fits == (frame.width == session->width && frame.height == session->height &&
                   frame.bits == session->bits));
    if (!fits) continue;
    // Buffers of the acquisition's image in either output format, sized exactly.
    const size_t count = size_t{session->width} * session->height;
    std::vector<uint8_t> narrow(count), wide(2 * count);
    corapi_sim::CopyFrame(frame, narrow.data(), 1);
    corapi_sim::CopyFrame(frame, wide.data(), 2);
    if (frame.BytesPerPixel() == 1) {
      Check(std::equal(narrow.begin(), narrow.end(), frame.pixels));
    } else {
      Check(std::equal(wide.begin(), wide.end(), frame.pixels));
    }
  }
  Check(offset <= size);
  return 0;
}
