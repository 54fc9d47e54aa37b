// The hand-over of scan documents from the scan worker to the loop thread:
// the stations a scan keeps are gathered while it runs; once it is over its
// document is numbered, rendered and posted to the loop thread, which queues
// it and hands it on to the connection. The scan worker never waits for the
// loop thread or the network.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mqtt/address_hash.h"
#include "mqtt/mqtt_settings.h"
#include "mqtt/scan_document.h"
#include "scan_sink.h"

class BrokerConnection;
class DeliveryAccounts;
class LoopHandover;
struct ProbeEntry;

class ScanHandover {
  public:
    // `interval`: the scan interval in seconds, published with every scan.
    // The other arguments outlive the hand-over.
    ScanHandover(const MqttSettings& settings, uint32_t interval, DeliveryAccounts& accounts,
                 BrokerConnection& connection)
        : settings_(settings),
          interval_(interval),
          accounts_(accounts),
          connection_(connection),
          hashes_(settings.secret) {}

    // Loop thread, before any scan: where documents are posted.
    void attach(LoopHandover* handover) { handover_ = handover; }

    // add_station for every kept entry, end_scan with the scan's totals.
    ScanSink scan_sink();

    // Scan worker, during a scan: keeps one reported station. The entry is
    // read under the table's lock, before its reported count is updated.
    void add_station(const ProbeEntry& entry);
    // Scan worker, once the scan is over: the scan's document with the
    // stations kept since the last one and `totals`.
    void end_scan(const DocumentTotals& totals);
    // The same for a document filled by the caller.
    void publish_scan(ScanDocument& doc);

  private:
    struct Submission;
    static void run_submission(void* arg);
    static void drop_submission(void* arg);

    const MqttSettings& settings_;
    uint32_t interval_;
    DeliveryAccounts& accounts_;
    BrokerConnection& connection_;
    LoopHandover* handover_ = nullptr;
    uint64_t seq_ = 0;         // scan worker only
    ScanDocument document_;    // scan worker only: the scan being gathered
    AddressHashCache hashes_;  // scan worker only
};
