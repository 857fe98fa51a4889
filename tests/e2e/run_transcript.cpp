#include "run_transcript.h"

#include <regex>
#include <sstream>

namespace transcript {

namespace {

const char* kModeFiles[] = {".\\x64tm6740Nd_8_x.CCA", ".\\x64tm6740b2d_8_x.CCA",
                            ".\\x64tm6740Nd_10_x.CCA", ".\\x64tm6740b2d_10_x.CCA"};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

}  // namespace

Run Parse(const std::string& output) {
  static const std::regex average(R"(Average = (-?\d+\.\d{4}))");
  static const std::regex vref(R"(Setting Vref A to (\d+))");
  static const std::regex gains(R"(Setting gains at average intensity of \d+\.\d{6})");
  static const std::regex stabilising(R"(Stabilizing CCD\.(\.*) Done\.)");
  static const std::regex iteration(
      R"(Iteration (\d+): A tap avg intensity = ( *\d+\.\d{3}) B tap avg intensity = ( *\d+\.\d{3}))");
  static const std::regex calibrating(R"(Calibrating \d+ x \d+ @ \d+-bits\.)");

  Run run;
  std::vector<std::string> lines = Lines(output);
  for (size_t n = 0; n < lines.size(); ++n) {
    const std::string& line = lines[n];
    std::smatch match;
    auto unexpected = [&] { run.unexpected.push_back(std::to_string(n + 1) + ": " + line); };
    if (line.rfind("Loading ", 0) == 0) {
      ModeRun mode;
      mode.loadingLine = line;
      for (int m = 0; m < 4; ++m)
        if (line == std::string("Loading ") + kModeFiles[m]) mode.mode = m;
      run.modes.push_back(mode);
      continue;
    }
    if (run.modes.empty()) {
      if (line == "Application Terminating, press any key...")
        run.closingLine = n + 1 == lines.size();
      else
        run.startUp.push_back(line);
      continue;
    }
    ModeRun& mode = run.modes.back();
    if (std::regex_match(line, calibrating) && mode.calibratingLine.empty()) {
      mode.calibratingLine = line;
    } else if (line == "Setup cavity with no features across center vertical strip." ||
               line == "Use '/' and '*' keys to change light. Press 'ESC' to start.") {
      mode.setupPrompts = true;
    } else if (std::regex_match(line, match, average)) {
      mode.averages.push_back(std::stod(match[1]));
    } else if (std::regex_match(line, match, vref) && mode.referenceSetting < 0) {
      mode.referenceSetting = std::stoi(match[1]);
    } else if (line == "Coarse set complete. Setting fine." && !mode.coarseComplete) {
      mode.coarseComplete = true;
    } else if (std::regex_match(line, gains) && !mode.fineLine) {
      mode.fineLine = true;
    } else if (std::regex_match(line, match, stabilising) && mode.stabilisationDots < 0) {
      mode.stabilisationDots = static_cast<int>(match[1].length());
    } else if (std::regex_match(line, match, iteration) &&
               std::stoi(match[1]) == static_cast<int>(mode.iterations.size())) {
      mode.iterations.emplace_back(std::stod(match[2]), std::stod(match[3]));
    } else if (line == "Application Terminating, press any key...") {
      run.closingLine = n + 1 == lines.size();
    } else {
      unexpected();
    }
  }
  return run;
}

}  // namespace transcript
