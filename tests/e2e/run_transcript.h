// A full run's console output read back mode by mode, every line checked against the texts the
// tool may print at that point.
#pragma once

#include <string>
#include <vector>

namespace transcript {

struct ModeRun {
  int mode = -1;
  std::string loadingLine;
  std::string calibratingLine;
  bool setupPrompts = false;
  int referenceSetting = -1;     // "Setting Vref A to %d"; -1 when none was found
  std::vector<double> averages;  // every "Average = %.4f", in order
  bool coarseComplete = false;
  bool fineLine = false;
  int stabilisationDots = -1;                         // -1 when the phase never ran
  std::vector<std::pair<double, double>> iterations;  // the tap means of each iteration line
};

struct Run {
  std::vector<std::string> startUp;  // the lines before the first "Loading"
  std::vector<ModeRun> modes;
  bool closingLine = false;             // "Application Terminating, press any key..." last
  std::vector<std::string> unexpected;  // lines that fit nowhere, with their number
};

Run Parse(const std::string& output);

}  // namespace transcript
