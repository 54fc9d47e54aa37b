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
// adds, and its part in the daemon's stop.
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
    // printed, when start-up must end. `crowd`: the keep rule gives people
    // and devices (rule = persistent), for Home Assistant's config.
    bool start(uint32_t interval, uv_loop_t* loop, LoopHandover* handover, ScanSinks& sinks,
               bool crowd = false);

    // Loop thread, when the daemon's stop is announced, `wait_ms` before
    // the loop is to end: the queue goes on being delivered until a second
    // before that end, then "offline" is published and the connection
    // closed. `done(arg)` is called on the loop thread once nothing of the
    // publisher is under way any more: at once when the section is off, at
    // the latest after end_stop() (or once a connect step in the thread pool
    // has ended).
    void begin_stop(uint64_t wait_ms, void (*done)(void*), void* arg);
    // Loop thread, when the stop's wait is over: gives up what is still
    // undelivered, counting it.
    void end_stop();

    // After `done`: prints the accounts at verbosity 1.
    void stop();

  private:
    const char* config_path_;
    std::unique_ptr<MqttSettings> settings_;
    std::unique_ptr<MqttPublisher> publisher_;
};
