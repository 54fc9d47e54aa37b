// Sequences of datagrams to send, each with its time after the registration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "probe_message.h"
#include "scenario_script.h"

namespace standin {

struct Datagram {
    double at;            // seconds after the registration
    const uint8_t* data;  // valid until the next call of next()
    size_t length;
};

class DatagramSource {
  public:
    virtual ~DatagramSource() = default;
    // The next datagram in time order; false when there is none left.
    virtual bool next(Datagram& datagram) = 0;
};

// The steps of a scenario script. Probe messages carry a running sequence
// number from 1; raw datagrams go out exactly as written.
class ScriptSource : public DatagramSource {
  public:
    explicit ScriptSource(std::vector<ScriptStep> steps) : steps_(std::move(steps)) {}
    bool next(Datagram& datagram) override;

  private:
    std::vector<ScriptStep> steps_;
    size_t step_ = 0;
    uint32_t sent_of_step_ = 0;
    uint32_t seq_ = 0;
    uint8_t message_[probe_message_size];
};

}  // namespace standin
