// The table files a unit leaves the factory with, for a simulated unit
// whose root has none yet: band calibration and thresholds matching the
// simulated amplifier's detectors, the low-pass filter ranges and a fan
// curve, a first bank that operates on every band, a setup file with
// automatic tuning on, and the board's network file. Written only where
// the file is missing.
#pragma once
#include <string>

// Writes the missing files under DIR/opt/set; returns how many it wrote.
int simWriteUnitFiles(const std::string &root);
