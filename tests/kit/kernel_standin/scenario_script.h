// Scenario scripts: what to send, and when, after the daemon has registered.
//
//   # comment
//   OFFSET MAC SECOND_MAC RSSI BAND FREQ [REPEAT]   REPEAT probe messages
//   OFFSET raw HEXBYTES                             one datagram of those bytes
//
// OFFSET is in seconds after the registration (decimal, e.g. 0.5) and never
// decreases from one step to the next. HEXBYTES may be split by blanks.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "probe_message.h"

namespace standin {

struct ScriptStep {
    double offset;
    bool raw;
    ProbeFields probe;           // probe steps
    uint32_t repeat;             // probe steps: messages sent back to back
    std::vector<uint8_t> bytes;  // raw steps: the datagram
};

// Parses a whole script. On failure returns false with `error` naming the
// line, e.g. "line 3: bad RSSI \"-200\" (expected -128 to 127)".
bool parse_script(std::istream& in, std::vector<ScriptStep>& steps, std::string& error);

}  // namespace standin
