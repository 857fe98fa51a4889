// Stand-ins for the Parts the run control drives (session, live view, calibration) and for the
// console keys, all logging into one event list together with the instrument traffic.
#pragma once

#include <deque>
#include <string>
#include <tuple>
#include <vector>

#include "vendor/corapi.h"

namespace fake_parts {

// In the key list: the next look finds no key waiting.
inline constexpr int kNoKeyYet = -1;

struct Script {
  CORSTATUS openServersStatus = 0;
  int openSessionFailsInMode = -1;
  bool startGrabFails = false;
  int calibrationFailsInMode = -1;
  std::deque<int> keys;  // after the last one, input has ended: every read gives Escape
  // Instrument calls made to fail: function, n-th use, result (as fake::FailCall takes them).
  std::vector<std::tuple<std::string, int, int>> canFailures;
};

// Resets the script, the event list and the instrument fake (which then logs into the list too).
void Reset(const Script& script);
std::vector<std::string> Events();

}  // namespace fake_parts
