// The client's connection to the broker, driven on the daemon's loop thread:
// the client's socket on a poll handle (one per connection), its keep-alive
// and the connect deadline on a timer that fires every second, each attempt
// started in the thread pool (PoolConnect). Broker away, lost, refusing or
// failing the TLS check: said once per change on standard error and syslog;
// the next host is tried, and after the last the first again with back-off.
// While connected, queued documents go to the library, at most `window` not
// yet reported sent. The daemon's stop runs on the same loop: the queue goes
// on being delivered until shortly before its end, then "offline" is
// published and the connection closed.
#pragma once

#include <uv.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "mqtt/condition_report.h"
#include "mqtt/delivery_accounts.h"
#include "mqtt/homeassistant_discovery.h"
#include "mqtt/mqtt_settings.h"
#include "mqtt/pool_connect.h"

struct mosquitto;

class BrokerConnection {
  public:
    // Documents given to the library and not yet reported sent, at most.
    static constexpr size_t window = 16;

    // `settings` and `accounts` outlive the connection.
    BrokerConnection(const MqttSettings& settings, DeliveryAccounts& accounts);
    ~BrokerConnection();
    BrokerConnection(const BrokerConnection&) = delete;
    BrokerConnection& operator=(const BrokerConnection&) = delete;

    // Loop thread, before the loop runs: creates the client and starts the
    // first connection attempt. Returns false when the library refuses the
    // settings (the reason is printed).
    bool start(uv_loop_t* loop);

    // Loop thread: hands what is queued to the library, as far as the
    // connection and the window allow.
    void send();

    // Loop thread, when the daemon's stop is announced, `wait_ms` before
    // the loop ends: documents go on being delivered, and a lost broker
    // reconnected, until a second before that end; then the retained
    // "offline" is published and, once it and every document handed over
    // are reported, the connection is closed. `done(arg)` is called on the
    // loop thread once nothing of the connection is under way any more.
    void begin_stop(uint64_t wait_ms, void (*done)(void*), void* arg);

    // Loop thread, when the stop's wait is over (or cut short): what is still
    // queued stays so, what is handed over and unreported is counted lost,
    // an open socket is left for the process's end to close (the broker
    // then publishes the last will, "offline"). `done` follows at once, or
    // once a connect step under way in the thread pool has ended.
    void end_stop();

    // Home Assistant's side of the connection ([mqtt] homeassistant).
    HomeAssistantLink& homeassistant() { return homeassistant_; }

  private:
    enum class State { idle, resolving, connecting, connected };
    // The daemon's stop: running (none), draining (delivering as usual),
    // closing ("offline" published, no new documents or connections),
    // finished (nothing open or under way).
    enum class Phase { running, draining, closing, finished };

    static void connect_done(void* owner);
    static void poll_cb(uv_poll_t* handle, int status, int events);
    static void misc_cb(uv_timer_t* handle);
    static void retry_cb(uv_timer_t* handle);
    static void close_cb(uv_timer_t* handle);
    static void on_connect(mosquitto* mosq, void* obj, int rc);
    static void on_disconnect(mosquitto* mosq, void* obj, int rc);
    static void on_publish(mosquitto* mosq, void* obj, int mid);

    void begin_connect();
    void watch_socket();
    void rearm();
    void pump(size_t limit);
    void io_result(int rc);
    void connection_lost(const std::string& reason);
    void drop_connection();
    void close_session();
    void advance_close();
    void check_finished();
    std::string broker() const;

    const MqttSettings& settings_;
    DeliveryAccounts& accounts_;
    std::string scan_topic_, status_topic_;
    PoolConnect pool_;
    mosquitto* mosq_ = nullptr;
    uv_loop_t* loop_ = nullptr;
    uv_poll_t* poll_ = nullptr;  // per connection; closed when it ends
    int poll_events_ = 0;        // what poll_ watches for
    uv_timer_t misc_timer_;
    uv_timer_t retry_timer_;
    uv_timer_t close_timer_;  // the stop's moment for "offline"
    State state_ = State::idle;
    Phase phase_ = Phase::running;
    void (*stop_done_)(void*) = nullptr;
    void* stop_done_arg_ = nullptr;
    size_t host_index_ = 0;
    uint64_t backoff_ms_ = 0;
    uint64_t connect_started_ = 0;  // loop time of the current attempt
    std::string refusal_;           // set by a refusing CONNACK
    bool broken_ = false;           // the library ended the connection
    bool online_due_ = false;       // "online" to be published after the connect
    int offline_mid_ = 0;
    bool disconnecting_ = false;  // DISCONNECT given to the library at the stop
    ConditionReport report_;
    HomeAssistantLink homeassistant_;
};
