// Publishes each scan's document to an MQTT broker through libmosquitto,
// driven by the daemon's own libuv loop: the client's socket on a poll
// handle, its keep-alive on a timer (BrokerConnection). The blocking part of
// a connect (name resolution) runs in libuv's thread pool; the TCP connect
// itself is started there without waiting, and the loop thread takes the
// client back and drives the rest (PoolConnect). Documents come from the
// scan worker (ScanHandover) and wait in a queue bounded in bytes; a full
// queue drops the oldest and counts them (DeliveryAccounts). Broker away,
// lost, refusing or failing the TLS check: said once per change on standard
// error and syslog, and the client reconnects with back-off.
#pragma once

#include <uv.h>

#include <cstddef>
#include <cstdint>

#include "mqtt/broker_connection.h"
#include "mqtt/delivery_accounts.h"
#include "mqtt/mqtt_settings.h"
#include "mqtt/scan_document.h"
#include "mqtt/scan_handover.h"
#include "scan_sink.h"

class LoopHandover;
struct ProbeEntry;

class MqttPublisher {
  public:
    // Documents given to the library and not yet reported sent, at most.
    static constexpr size_t window = BrokerConnection::window;

    // `interval`: the scan interval in seconds, published with every scan.
    MqttPublisher(const MqttSettings& settings, uint32_t interval);
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Loop thread, before the loop runs: creates the client and starts the
    // first connection attempt. Returns false when the library refuses the
    // settings (the reason is printed).
    bool start(uv_loop_t* loop, LoopHandover* handover);

    // The publisher as an output of the scan: add_station for every kept
    // entry, end_scan with the scan's totals.
    ScanSink scan_sink() { return handover_.scan_sink(); }

    // Scan worker, during a scan: keeps one reported station. The entry is
    // read under the table's lock, before its reported count is updated.
    void add_station(const ProbeEntry& entry) { handover_.add_station(entry); }
    // Scan worker, once the scan is over: the scan's document with the
    // stations kept since the last one and `totals`, numbered, rendered and
    // handed to the loop thread. Never waits for the loop thread or the
    // network.
    void end_scan(const DocumentTotals& totals) { handover_.end_scan(totals); }
    // The same for a document filled by the caller.
    void publish_scan(ScanDocument& doc) { handover_.publish_scan(doc); }

    // Loop thread, the daemon's stop (BrokerConnection): the queue goes on
    // being delivered until a second before the loop ends in `wait_ms`, then
    // "offline" is published and the connection closed; `done(arg)` once
    // nothing is under way any more, at the latest after end_stop().
    void begin_stop(uint64_t wait_ms, void (*done)(void*), void* arg) {
        connection_.begin_stop(wait_ms, done, arg);
    }
    // Loop thread, when the stop's wait is over: what is left undelivered
    // stays so and is counted.
    void end_stop() { connection_.end_stop(); }

    // After `done`: prints the accounts at verbosity 1. The client is
    // released with the publisher.
    void stop() { accounts_.print(); }

    PublisherCounts counts() const { return accounts_.counts(); }  // loop thread, or after stop()
    const MqttSettings& settings() const { return settings_; }

  private:
    MqttSettings settings_;
    DeliveryAccounts accounts_;
    BrokerConnection connection_;
    ScanHandover handover_;
};
