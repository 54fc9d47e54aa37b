// The fleet's MQTT side: subscribes to `<prefix>/+/scan` and
// `<prefix>/+/status` and hands every message to the view. libmosquitto runs
// on the caller's libuv loop: its socket on a poll handle, its keep-alive on a
// 1 s timer; its connect step (which resolves the name synchronously) runs in
// libuv's thread pool and hands the client, its TCP connection begun, back to
// the loop, so the loop never waits on the network. A lost or refused
// broker is left for the next one in the list, with back-off (jittered) once
// all failed; a connection that ends within seconds of its CONNACK counts as
// a failed attempt, and several such in a row are said as a likely second
// client with the same id. Each message is said once, repeats counted
// (repeat_notices.h). Scan documents are parsed on a thread of their own
// and merged on the loop in the order they came (intake_reader.h); reading
// the socket pauses while too many are waiting.
// A subscription the broker refuses ends the intake's use (on_refused); one
// that delivers nothing for a minute is said once (fleet_subscriptions.h).
#pragma once

#include <uv.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fleet_client.h"
#include "fleet_homeassistant.h"
#include "fleet_options.h"
#include "fleet_subscriptions.h"
#include "intake_reader.h"
#include "repeat_notices.h"

struct mosquitto;
struct mosquitto_message;

namespace fleet {

class FleetView;

class FleetIntake {
  public:
    FleetIntake(uv_loop_t* loop, IntakeSettings settings, FleetView& view);
    ~FleetIntake();
    FleetIntake(const FleetIntake&) = delete;
    FleetIntake& operator=(const FleetIntake&) = delete;

    // Sets the client up and starts connecting. False with a message in
    // `error` for settings libmosquitto refuses (an unreadable CA file, ...).
    bool start(std::string& error);
    // Disconnects and closes its handles; `done` runs on the loop once
    // nothing of the intake is left on it.
    void stop(std::function<void()> done);

    // Told once per accepted connection (after the subscriptions went out),
    // and after every message taken in.
    std::function<void()> on_connected;
    std::function<void()> on_message;
    // Told when the broker refused a subscription in its SUBACK (the message
    // was said); nothing of that broker's view would ever arrive.
    std::function<void()> on_refused;

    bool connected() const { return state_ == State::connected; }
    // The broker in use or being tried, as "host:port".
    std::string broker() const { return broker_name(); }
    uint64_t messages() const { return messages_; }
    uint64_t foreign_topics() const { return foreign_topics_; }

  private:
    enum class State { idle, connecting, awaiting_connack, connected, waiting, stopping };

    void connect_next();
    void connect_done(int rc);
    void lost(const char* why);           // why == nullptr: already said
    void retry_after(uint64_t delay_ms);  // waiting, then the next connection
    void service(int events);
    void update_poll();
    void read_more();
    void read_packets();
    void close_poll();
    void finish_stop();
    void take_message(const mosquitto_message* message);
    void deliver(IntakeMessage& m);
    void read_later();
    std::string broker_name() const;

    static void on_connect_cb(mosquitto* mosq, void* self, int rc);
    static void on_message_cb(mosquitto* mosq, void* self, const mosquitto_message* message);
    static void on_subscribe_cb(mosquitto* mosq, void* self, int mid, int count,
                                const int* granted);
    void check_quiet();
    void check_stable();

    uv_loop_t* loop_;
    IntakeSettings settings_;
    FleetView& view_;
    FleetSubscriptions subscriptions_;
    IntakeReader reader_;  // scan documents parsed off the loop
    mosquitto* mosq_ = nullptr;
    State state_ = State::idle;
    size_t broker_ = 0;        // index of the broker tried or in use
    unsigned failures_ = 0;    // attempts since the last connection that held
    unsigned short_runs_ = 0;  // connections in a row that ended soon after CONNACK
    uint64_t connected_at_ = 0;
    bool stable_ = false;  // the connection in use held long enough to count
    int connect_rc_ = 0;
    int connect_errno_ = 0;
    // Brokers found to speak MQTT 3.1.1 only (by index): asked for 3.1.1
    // from then on. `again_` asks lost() to try the same broker at once.
    std::vector<bool> only_311_;
    bool again_ = false;
    RepeatNotices notices_;
    std::minstd_rand jitter_;
    uv_work_t work_{};
    bool work_busy_ = false;
    uv_poll_t* poll_ = nullptr;
    int poll_events_ = 0;
    uv_timer_t misc_timer_{};   // keep-alive and the CONNACK deadline
    uv_timer_t retry_timer_{};  // back-off
    uv_timer_t more_timer_{};   // more reading after a long burst
    uint64_t connack_deadline_ = 0;
    int open_handles_ = 0;
    std::function<void()> stopped_;
    uint64_t messages_ = 0;
    uint64_t foreign_topics_ = 0;
    std::unique_ptr<FleetHomeAssistant> homeassistant_;  // --homeassistant
};

}  // namespace fleet
