// MQTT publisher: each scan's document to a broker; on when [mqtt] in /etc/vorlask.conf sets a key.
#pragma once

#include <uv.h>

#include <cstdint>
#include <memory>

#include "scan_sink.h"

class Confile;
class LoopHandover;
class MqttPublisher;
struct MqttSettings;

// All the daemon's core sees of the publisher: the section read at start-up
// (any key set turns it on, and host is then required), the scan sink it
// adds, and the stop.
class MqttFeature {
  public:
    // `config_path`: the file named in the section's error lines.
    explicit MqttFeature(const char* config_path);
    ~MqttFeature();
    MqttFeature(const MqttFeature&) = delete;
    MqttFeature& operator=(const MqttFeature&) = delete;

    // A reader of further sections for print_startup_config, `feature` being
    // an MqttFeature: reads [mqtt]; a bad value is said on standard error and
    // returns false.
    static bool read_section(const Confile& config, void* feature);

    // Loop thread, before the loop runs; does nothing when the section is
    // off. Creates the publisher of scans every `interval` seconds, starts
    // its first connection and adds it to `sinks`. Returns false, the reason
    // printed, when start-up must end.
    bool start(uint32_t interval, uv_loop_t* loop, LoopHandover* handover, ScanSinks& sinks);

    // Main thread, after the loop and the workers have stopped: delivers
    // what it can of the queue, publishes "offline", prints the accounts at
    // verbosity 1.
    void stop();

  private:
    const char* config_path_;
    std::unique_ptr<MqttSettings> settings_;
    std::unique_ptr<MqttPublisher> publisher_;
};
