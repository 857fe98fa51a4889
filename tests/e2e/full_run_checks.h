// What a full run of the tool against the bench must show, on the console and on the devices:
// shared by the Linux tool's end-to-end runs and the Windows package's runs under Wine.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "run_transcript.h"
#include "sensor_model.h"
#include "support/bench_process.h"

namespace full_run {

struct FullRun {
  testing_support::ToolRun tool;
  transcript::Run run;
  nlohmann::json state;  // the bench's, after the run
};

// The bench of a full run: homing and lamp quick, the sensor drawn from `sensorSeed` (0: the
// default camera), `faults` switched on from the start.
std::vector<std::string> BenchArgs(uint64_t sensorSeed,
                                   const std::vector<std::string>& faults = {});

// The bench's state once the tool has ended, when the bench has seen the frame stream close.
nlohmann::json StateAfterTheRun(const testing_support::BenchProcess& bench);

// All four modes calibrated and their pages saved with what the run sent; the light and gains
// they hold checked against the sensor's own readings.
void ExpectFourCalibratedModes(const FullRun& full, uint64_t sensorSeed);
// The same for the camera with these parameters (the bench's quick camera, say).
void ExpectFourCalibratedModes(const FullRun& full, const sim::SensorParameters& parameters);

// A black level that never rises: mode 0's reference search fails after its twenty settings, no
// further mode is opened, nothing is saved and the closing sequence follows.
void ExpectExcessVrefEndsTheRun(const FullRun& full);

}  // namespace full_run
