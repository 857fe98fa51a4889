// Answer datagrams as the bridge library receives them: any bytes parse or are refused, and a
// parsed datagram encodes back to the same bytes (the format has one spelling per content).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "cannelloni.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<cannelloni::Frame> frames;
  if (!cannelloni::Decode(data, size, frames)) {
    if (!frames.empty()) std::abort();
    return 0;
  }
  for (const cannelloni::Frame& frame : frames)
    if (frame.length > (frame.fd ? 64 : 8) && !frame.IsRemote()) std::abort();
  std::vector<uint8_t> again = cannelloni::Encode(frames, size > 2 ? data[2] : 0);
  std::vector<cannelloni::Frame> reparsed;
  if (!cannelloni::Decode(again.data(), again.size(), reparsed) || reparsed.size() != frames.size())
    std::abort();
  return 0;
}
