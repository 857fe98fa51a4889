#include "sdo_server.h"

namespace sim {

namespace {

constexpr uint8_t kAbort = 0x80;
constexpr uint8_t kDownloadAnswer = 0x60;

SdoFrame Answer(uint8_t command, const SdoExchange& exchange) {
  return {command, static_cast<uint8_t>(exchange.index), static_cast<uint8_t>(exchange.index >> 8),
          static_cast<uint8_t>(exchange.subindex)};
}

SdoFrame Abort(SdoExchange& exchange, uint32_t code) {
  exchange.abortCode = code;
  SdoFrame frame = Answer(kAbort, exchange);
  for (size_t i = 0; i < 4; ++i)
    frame[4 + i] = static_cast<uint8_t>(code >> (8 * i));
  return frame;
}

}  // namespace

std::optional<SdoFrame> ServeSdo(const SdoFrame& request, ObjectDictionary& dictionary,
                                 SdoExchange& exchange) {
  exchange = {};
  exchange.command = request[0];
  exchange.index = request[1] | (request[2] << 8);
  exchange.subindex = request[3];
  int clientCommand = request[0] >> 5;

  if (clientCommand == 1) {  // initiate download
    exchange.kind = SdoExchange::Kind::Download;
    bool expedited = request[0] & 0x02, sized = request[0] & 0x01;
    if (!expedited) return Abort(exchange, sdo::kUnsupportedCommand);
    size_t length = sized ? 4 - ((request[0] >> 2) & 3) : 4;
    exchange.data.assign(request.begin() + 4, request.begin() + 4 + static_cast<long>(length));
    if (uint32_t code =
            dictionary.Download(exchange.index, exchange.subindex, exchange.data, sized))
      return Abort(exchange, code);
    return Answer(kDownloadAnswer, exchange);
  }

  if (clientCommand == 2) {  // initiate upload
    exchange.kind = SdoExchange::Kind::Upload;
    if (uint32_t code = dictionary.Upload(exchange.index, exchange.subindex, exchange.data))
      return Abort(exchange, code);
    if (exchange.data.empty() || exchange.data.size() > 4)
      return Abort(exchange, sdo::kGeneralError);
    // Expedited with the size indicated: 0x4F, 0x4B, 0x47, 0x43 for 1 to 4 bytes.
    auto unused = static_cast<uint8_t>(4 - exchange.data.size());
    SdoFrame frame = Answer(static_cast<uint8_t>(0x43 | (unused << 2)), exchange);
    for (size_t i = 0; i < exchange.data.size(); ++i)
      frame[4 + i] = exchange.data[i];
    return frame;
  }

  if (clientCommand == 4) {  // the client aborts a transfer; there is none in progress
    exchange.kind = SdoExchange::Kind::ClientAbort;
    return std::nullopt;
  }

  // Segments and block transfers: no object here needs them.
  return Abort(exchange, sdo::kUnsupportedCommand);
}

}  // namespace sim
