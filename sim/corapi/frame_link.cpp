#include "frame_link.h"

namespace corapi_sim {

bool SplitEndpoint(const std::string& endpoint, std::string* host, std::string* port) {
  size_t colon = endpoint.rfind(':');
  *host = colon == std::string::npos || colon == 0 ? "127.0.0.1" : endpoint.substr(0, colon);
  *port = colon == std::string::npos ? endpoint : endpoint.substr(colon + 1);
  if (host->size() > 2 && host->front() == '[' && host->back() == ']')
    *host = host->substr(1, host->size() - 2);
  return !port->empty() && port->find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace corapi_sim
