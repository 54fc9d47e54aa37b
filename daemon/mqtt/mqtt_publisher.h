// Publishes each scan's document to an MQTT broker through libmosquitto,
// driven by the daemon's own libuv loop: the client's socket on a poll
// handle, its keep-alive on a timer. The blocking part of a connect (name
// resolution) runs in libuv's thread pool; the TCP connect itself is started
// there without waiting, and the loop thread takes the client back and
// drives the rest. Documents wait in a queue bounded in bytes; a full queue
// drops the oldest and counts them. Broker away, lost, refusing or failing
// the TLS check: said once per change on standard error and syslog, and the
// client reconnects with back-off.
#pragma once

#include <uv.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "mqtt/mqtt_settings.h"
#include "mqtt/publish_queue.h"
#include "mqtt/scan_document.h"
#include "scan_sink.h"

class LoopHandover;
struct mosquitto;
struct ProbeEntry;

struct PublisherCounts {
    uint64_t documents = 0;  // parts that reached the queue or were dropped on the way
    uint64_t handed = 0;     // parts given to the client library
    uint64_t delivered = 0;  // parts the library reports as sent (QoS 0) or acknowledged (QoS 1)
    uint64_t dropped = 0;    // parts the full queue dropped
    uint64_t lost = 0;       // QoS 0 parts handed over but not yet sent when a connection ended
};

class MqttPublisher {
  public:
    // Documents given to the library and not yet reported sent, at most.
    static constexpr size_t window = 16;

    // `interval`: the scan interval in seconds, published with every scan.
    MqttPublisher(const MqttSettings& settings, uint32_t interval);
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Loop thread, before the loop runs: creates the client and starts the
    // first connection attempt. Returns false when the library refuses the
    // settings (the reason is printed).
    bool start(uv_loop_t* loop, LoopHandover* handover);

    // The publisher as an output of the scan: add_station for every kept
    // entry, end_scan with the scan's totals.
    ScanSink scan_sink();

    // Scan worker, during a scan: keeps one reported station. The entry is
    // read under the table's lock, before its reported count is updated.
    void add_station(const ProbeEntry& entry);
    // Scan worker, once the scan is over: the scan's document with the
    // stations kept since the last one and `totals`, numbered, rendered and
    // handed to the loop thread. Never waits for the loop thread or the
    // network.
    void end_scan(const DocumentTotals& totals);
    // The same for a document filled by the caller.
    void publish_scan(ScanDocument& doc);

    // Main thread, after the loop has stopped: sends what is queued within a
    // few seconds, publishes the retained "offline" status, disconnects and
    // releases the client.
    void stop();

    PublisherCounts counts() const;  // loop thread, or after stop()
    const MqttSettings& settings() const { return settings_; }

  private:
    enum class State { idle, resolving, connecting, connected, stopped };
    struct Submission;

    static void run_submission(void* arg);
    static void drop_submission(void* arg);
    static void connect_work(uv_work_t* req);
    static void connect_done(uv_work_t* req, int status);
    static void poll_cb(uv_poll_t* handle, int status, int events);
    static void misc_cb(uv_timer_t* handle);
    static void retry_cb(uv_timer_t* handle);
    static void on_connect(mosquitto* mosq, void* obj, int rc);
    static void on_disconnect(mosquitto* mosq, void* obj, int rc);
    static void on_publish(mosquitto* mosq, void* obj, int mid);

    void enqueue(Submission* submission);
    void begin_connect();
    void watch_socket();
    void rearm();
    void pump(size_t limit);
    void io_result(int rc);
    void connection_lost(const std::string& reason);
    void say(const std::string& condition, const std::string& text);
    std::string broker() const;
    bool drive_until(bool (*done)(const MqttPublisher&), int milliseconds);

    MqttSettings settings_;
    uint32_t interval_;
    std::string scan_topic_, status_topic_;
    mosquitto* mosq_ = nullptr;
    uv_loop_t* loop_ = nullptr;
    LoopHandover* handover_ = nullptr;
    uv_work_t connect_req_;
    uv_poll_t* poll_ = nullptr;  // per connection; closed when it ends
    uv_timer_t misc_timer_;
    uv_timer_t retry_timer_;
    State state_ = State::idle;
    size_t host_index_ = 0;
    uint64_t backoff_ms_ = 0;
    uint64_t connect_started_ = 0;  // loop time of the current attempt
    int connect_rc_ = 0;            // from the thread pool
    int connect_errno_ = 0;
    std::string refusal_;      // set by a refusing CONNACK
    bool broken_ = false;      // the library ended the connection
    bool online_due_ = false;  // "online" to be published after the connect
    std::string last_condition_;

    // The thread-pool step of a connect; stop() waits for it.
    std::mutex job_mutex_;
    std::condition_variable job_done_;
    bool job_running_ = false;

    PublishQueue queue_;
    std::map<int, size_t> in_flight_;  // message id to payload size
    std::set<int> reported_;           // ids reported sent before they were recorded
    int offline_mid_ = 0;
    PublisherCounts counts_;
    uint64_t seq_ = 0;       // scan worker only
    ScanDocument document_;  // scan worker only: the scan being gathered
    // Drops counted by the loop thread, and the count carried by the last
    // document handed to the library; read by the scan worker to fill the
    // next document's total.
    std::atomic<uint64_t> drops_{0};
    std::atomic<uint64_t> drops_carried_{0};
};
