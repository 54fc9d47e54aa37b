#include "mqtt/scan_handover.h"

#include <cstring>

#include "clock_reading.h"
#include "loop_handover.h"
#include "mqtt/broker_connection.h"
#include "mqtt/delivery_accounts.h"
#include "probe_table.h"

struct ScanHandover::Submission {
    ScanHandover* handover;
    std::vector<std::string> parts;
    char state[access_point_state_room];  // for Home Assistant, when on
};

void ScanHandover::add_station(const ProbeEntry& entry) {
    const ProbeRecord& record = *entry.record;
    StationRow row;
    memcpy(row.mac, record.mac, sizeof row.mac);
    row.rssi = entry.last_rssi;
    row.band = record.band;
    row.freq = record.freq;
    memcpy(row.second_mac, record.second_mac, sizeof row.second_mac);
    row.count = entry.count - entry.reported_count;
    row.first_ms = entry.first_ms;
    row.last_ms = entry.last_ms;
    document_.rows.push_back(row);
}

ScanSink ScanHandover::scan_sink() {
    ScanSink sink;
    sink.entry = [](void* context, const ProbeEntry& entry) {
        static_cast<ScanHandover*>(context)->add_station(entry);
    };
    sink.end = [](void* context, const ScanTotals& scan) {
        DocumentTotals totals;
        totals.table = static_cast<uint32_t>(scan.kept);
        totals.dropped = static_cast<uint32_t>(scan.dropped);
        totals.turned_away = scan.turned_away_table;
        totals.kernel_lost = scan.kernel_lost;
        totals.has_crowd = scan.has_crowd;
        totals.randomised = scan.crowd_randomised;
        totals.estimate = scan.crowd_estimate;
        totals.people = scan.crowd_people;
        static_cast<ScanHandover*>(context)->end_scan(totals);
    };
    sink.context = this;
    return sink;
}

void ScanHandover::end_scan(const DocumentTotals& totals) {
    // After the pass: every hearing of the document is at or before this
    // reading on the monotonic clock.
    const ClockReading now = read_clocks();
    document_.time = now.wall.tv_sec;
    document_.scan_ms = now.monotonic_ms;
    document_.interval = interval_;
    document_.totals = totals;
    publish_scan(document_);
    document_.rows.clear();
    // A scan of a very large table leaves no lasting buffer behind.
    if (document_.rows.capacity() > 4096) {
        document_.rows.shrink_to_fit();
    }
}

void ScanHandover::publish_scan(ScanDocument& doc) {
    doc.ap = settings_.client_id;
    doc.seq = ++seq_;
    doc.hashed = settings_.hashed;
    doc.secret = &settings_.secret;
    doc.hashes = &hashes_;
    doc.totals.queue_dropped = accounts_.drops();
    auto* submission =
        new Submission{this, render_scan_document_into(doc, accounts_.take_spare()), ""};
    hashes_.next_scan();
    if (!settings_.homeassistant.empty()) {
        access_point_state(doc, settings_.crowd_sensors, submission->state);
    }
    if (!handover_->post(LoopTask{run_submission, drop_submission, submission})) {
        delete submission;
    }
}

// Loop thread.
void ScanHandover::run_submission(void* arg) {
    auto* submission = static_cast<Submission*>(arg);
    ScanHandover* self = submission->handover;
    self->accounts_.add(submission->parts);
    self->connection_.homeassistant().set_state(submission->state);
    self->connection_.send();
    delete submission;
}

void ScanHandover::drop_submission(void* arg) {
    delete static_cast<Submission*>(arg);
}
