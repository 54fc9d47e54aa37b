// The people present when each frame of a capture was heard: the
// `occupancy` column of a `;`-separated CSV with one row per frame, in the
// capture's order, beside the capture (same name, .csv).
#pragma once

#include <string>
#include <vector>

// Reads the column; false (with `error` set) when the file has no such
// column or a row has no number in it. A missing file is not an error:
// `found` is then false.
bool read_occupancy(const std::string& path, std::vector<double>& occupancy, bool& found,
                    std::string& error);
