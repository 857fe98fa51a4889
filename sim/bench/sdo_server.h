// The server side of CiA 301 expedited SDO transfers: one request frame in, one answer out.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

namespace sdo {
constexpr uint32_t kUnsupportedCommand = 0x05040001;
constexpr uint32_t kReadOfWriteOnly = 0x06010001;
constexpr uint32_t kWriteToReadOnly = 0x06010002;
constexpr uint32_t kNoObject = 0x06020000;
constexpr uint32_t kWrongLength = 0x06070010;
constexpr uint32_t kNoSubindex = 0x06090011;
constexpr uint32_t kValueRange = 0x06090030;
constexpr uint32_t kGeneralError = 0x08000000;
}  // namespace sdo

using SdoFrame = std::array<uint8_t, 8>;

// One node's objects as the server reaches them; each call returns 0 or the abort code.
class ObjectDictionary {
 public:
  virtual ~ObjectDictionary() = default;
  virtual uint32_t Upload(int index, int subindex, std::vector<uint8_t>& value) = 0;
  // `value` holds the bytes the client sent; when it did not indicate the size, all four.
  virtual uint32_t Download(int index, int subindex, const std::vector<uint8_t>& value,
                            bool sizeIndicated) = 0;
};

// What the server made of one request, for the bench's record.
struct SdoExchange {
  enum class Kind { Upload, Download, ClientAbort, Other };
  Kind kind = Kind::Other;
  uint8_t command = 0;
  int index = 0;
  int subindex = 0;
  std::vector<uint8_t> data;  // the bytes written, or read back
  uint32_t abortCode = 0;     // what the server answered with; 0 for success
};

// The answer to `request`, or nothing for a request that takes none (the client's own abort).
std::optional<SdoFrame> ServeSdo(const SdoFrame& request, ObjectDictionary& dictionary,
                                 SdoExchange& exchange);

}  // namespace sim
