#include "mqtt/broker_connection.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>

#include "mqtt/mqtt_client.h"

namespace {

constexpr uint64_t first_backoff_ms = 1000;
constexpr uint64_t longest_backoff_ms = 30000;
constexpr uint64_t next_host_delay_ms = 200;
// A connection that has not been accepted by then is given up.
constexpr uint64_t connect_timeout_ms = 10000;
// At a stop, "offline" goes out this long before the loop ends: time for
// the broker to take it and for the connection to close.
constexpr uint64_t offline_reserve_ms = 1000;

BrokerConnection* connection_of(void* data) {
    return static_cast<BrokerConnection*>(data);
}

}  // namespace

BrokerConnection::BrokerConnection(const MqttSettings& settings, DeliveryAccounts& accounts)
    : settings_(settings),
      accounts_(accounts),
      scan_topic_(settings.scan_topic()),
      status_topic_(settings.status_topic()),
      pool_(connect_done, this),
      homeassistant_(settings) {}

BrokerConnection::~BrokerConnection() {
    if (mosq_ != nullptr) {
        free_mqtt_client(mosq_);
    }
}

bool BrokerConnection::start(uv_loop_t* loop) {
    loop_ = loop;
    mosq_ = new_mqtt_client(settings_, status_topic_, this);
    if (mosq_ == nullptr) {
        return false;
    }
    mosquitto_connect_callback_set(mosq_, on_connect);
    mosquitto_disconnect_callback_set(mosq_, on_disconnect);
    mosquitto_publish_callback_set(mosq_, on_publish);
    mosquitto_message_callback_set(mosq_, [](mosquitto*, void* obj, const mosquitto_message* m) {
        connection_of(obj)->homeassistant_.message(m);
    });

    uv_timer_init(loop_, &misc_timer_);
    misc_timer_.data = this;
    uv_timer_start(&misc_timer_, misc_cb, 1000, 1000);
    uv_timer_init(loop_, &retry_timer_);
    retry_timer_.data = this;
    uv_timer_init(loop_, &close_timer_);
    close_timer_.data = this;
    begin_connect();
    return true;
}

void BrokerConnection::send() {
    pump(window);
    rearm();
}

std::string BrokerConnection::broker() const {
    return settings_.hosts[host_index_] + ":" + std::to_string(settings_.port);
}

void BrokerConnection::begin_connect() {
    state_ = State::resolving;
    connect_started_ = uv_now(loop_);
    refusal_.clear();
    broken_ = false;
    if (!pool_.start(loop_, mosq_, settings_.hosts[host_index_], settings_.port,
                     settings_.keepalive)) {
        connection_lost("cannot start a connection");
    }
}

void BrokerConnection::connect_done(void* owner) {
    BrokerConnection* self = connection_of(owner);
    if (self->state_ != State::resolving) {
        return;
    }
    if (self->phase_ == Phase::closing || self->phase_ == Phase::finished) {
        // Too late at a stop: the socket the step may have opened is left
        // to the client's release.
        self->state_ = State::idle;
        self->check_finished();
        return;
    }
    if (self->pool_.result() != MOSQ_ERR_SUCCESS) {
        self->connection_lost("cannot connect: " +
                              mqtt_client_error(self->pool_.result(), self->pool_.saved_errno()));
        return;
    }
    self->state_ = State::connecting;
    self->watch_socket();
    self->rearm();
}

void BrokerConnection::watch_socket() {
    const int fd = mosquitto_socket(mosq_);
    if (fd < 0) {
        connection_lost("cannot connect: no socket");
        return;
    }
    poll_ = new uv_poll_t;
    poll_->data = this;
    poll_events_ = 0;
    if (uv_poll_init_socket(loop_, poll_, fd) != 0) {
        delete poll_;
        poll_ = nullptr;
        connection_lost("cannot connect: cannot watch the socket");
    }
}

void BrokerConnection::rearm() {
    if (poll_ == nullptr) {
        return;
    }
    const int events = UV_READABLE | (mosquitto_want_write(mosq_) ? UV_WRITABLE : 0);
    // Started again only for a change: every start takes the socket out of
    // the loop's epoll set and puts it back, two system calls.
    if (events == poll_events_) {
        return;
    }
    if (uv_poll_start(poll_, events, poll_cb) != 0) {
        connection_lost(std::string(state_ == State::connected ? "lost: " : "cannot connect: ") +
                        "cannot watch the socket");
        return;
    }
    poll_events_ = events;
}

void BrokerConnection::poll_cb(uv_poll_t* handle, int status, int events) {
    BrokerConnection* self = connection_of(handle->data);
    if (handle != self->poll_) {
        return;
    }
    if (status < 0) {
        self->connection_lost((self->state_ == State::connected ? "lost: " : "cannot connect: ") +
                              socket_failure(handle, status));
        return;
    }
    if ((events & UV_READABLE) != 0) {
        // A few packets per wake-up: with TLS, whole records may wait
        // decrypted inside the library where the poll cannot see them.
        const int reads = self->settings_.tls() ? 4 : 1;
        for (int i = 0; i < reads && self->poll_ != nullptr; ++i) {
            self->io_result(mosquitto_loop_read(self->mosq_, 1));
        }
    }
    if ((events & UV_WRITABLE) != 0 && self->poll_ != nullptr) {
        self->io_result(mosquitto_loop_write(self->mosq_, 1));
    }
    self->pump(window);
    self->advance_close();
    self->rearm();
}

void BrokerConnection::io_result(int rc) {
    const int saved_errno = errno;
    if (poll_ == nullptr || (rc == MOSQ_ERR_SUCCESS && !broken_)) {
        return;
    }
    const std::string cause =
        rc == MOSQ_ERR_SUCCESS ? "connection closed" : mqtt_client_error(rc, saved_errno);
    connection_lost(!refusal_.empty()            ? refusal_
                    : state_ == State::connected ? "lost: " + cause
                                                 : "cannot connect: " + cause);
}

void BrokerConnection::misc_cb(uv_timer_t* handle) {
    BrokerConnection* self = connection_of(handle->data);
    if (self->state_ != State::connecting && self->state_ != State::connected) {
        return;
    }
    if (self->state_ == State::connecting &&
        uv_now(self->loop_) - self->connect_started_ > connect_timeout_ms) {
        self->connection_lost("cannot connect: no answer");
        return;
    }
    const int rc = mosquitto_loop_misc(self->mosq_);
    if (self->broken_ || (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN)) {
        self->connection_lost(self->state_ == State::connected ? "lost: no answer (keep-alive)"
                                                               : "cannot connect: no answer");
        return;
    }
    self->rearm();
}

void BrokerConnection::retry_cb(uv_timer_t* handle) {
    BrokerConnection* self = connection_of(handle->data);
    if (self->state_ == State::idle) {
        self->begin_connect();
    }
}

void BrokerConnection::drop_connection() {
    if (poll_ != nullptr) {
        uv_poll_stop(poll_);
        uv_close(reinterpret_cast<uv_handle_t*>(poll_),
                 [](uv_handle_t* handle) { delete reinterpret_cast<uv_poll_t*>(handle); });
        poll_ = nullptr;
    }
    accounts_.connection_ended(settings_.qos);
    state_ = State::idle;
}

void BrokerConnection::connection_lost(const std::string& reason) {
    drop_connection();
    if (phase_ == Phase::closing || phase_ == Phase::finished) {
        // The stop's own close, or a loss in its last second: not said, not
        // tried again.
        check_finished();
        return;
    }
    report_.say(broker(), reason, reason);
    host_index_ = (host_index_ + 1) % settings_.hosts.size();
    uint64_t delay = next_host_delay_ms;
    if (host_index_ == 0) {
        backoff_ms_ =
            backoff_ms_ == 0 ? first_backoff_ms : std::min(backoff_ms_ * 2, longest_backoff_ms);
        delay = backoff_ms_;
    }
    uv_timer_start(&retry_timer_, retry_cb, delay, 0);
}

void BrokerConnection::pump(size_t limit) {
    if (phase_ == Phase::closing || phase_ == Phase::finished) {
        return;  // after "offline", nothing more
    }
    const bool fresh = online_due_ && state_ == State::connected;
    if (fresh) {
        online_due_ = false;
        int mid = 0;
        mosquitto_publish(mosq_, &mid, status_topic_.c_str(), 6, "online", settings_.qos, true);
        accounts_.status_handed(mid);
    }
    while (state_ == State::connected && accounts_.waiting() && accounts_.in_flight() < limit) {
        PendingDocument& doc = accounts_.next();
        int mid = 0;
        const int rc = mosquitto_publish(mosq_, &mid, scan_topic_.c_str(),
                                         static_cast<int>(doc.payload.size()), doc.payload.data(),
                                         settings_.qos, false);
        if (rc != MOSQ_ERR_SUCCESS) {
            break;
        }
        accounts_.handed(mid);
    }
    if (state_ == State::connected) {
        homeassistant_.pump(mosq_, settings_.qos, accounts_, fresh);
    }
}

void BrokerConnection::on_connect(mosquitto* /*mosq*/, void* obj, int rc) {
    BrokerConnection* self = connection_of(obj);
    if (rc != 0) {
        self->refusal_ = std::string("refused the connection: ") + mosquitto_connack_string(rc);
        return;
    }
    self->state_ = State::connected;
    self->backoff_ms_ = 0;
    self->report_.say(self->broker(), "connected", "connected");
    // Published once the library's call returns: publishing from inside its
    // callback takes its locks in another order than everywhere else.
    self->online_due_ = true;
}

void BrokerConnection::on_disconnect(mosquitto* /*mosq*/, void* obj, int /*rc*/) {
    connection_of(obj)->broken_ = true;
}

void BrokerConnection::on_publish(mosquitto* /*mosq*/, void* obj, int mid) {
    connection_of(obj)->accounts_.sent(mid);
}

// ---- the daemon's stop, on the loop thread ----

void BrokerConnection::begin_stop(uint64_t wait_ms, void (*done)(void*), void* arg) {
    stop_done_ = done;
    stop_done_arg_ = arg;
    if (phase_ != Phase::running) {
        return;
    }
    phase_ = Phase::draining;
    const uint64_t delay = wait_ms > offline_reserve_ms ? wait_ms - offline_reserve_ms : 0;
    if (uv_timer_start(&close_timer_, close_cb, delay, 0) != 0) {
        close_session();
    }
}

void BrokerConnection::close_cb(uv_timer_t* handle) {
    connection_of(handle->data)->close_session();
}

void BrokerConnection::close_session() {
    if (phase_ != Phase::draining) {
        return;
    }
    phase_ = Phase::closing;
    online_due_ = false;
    uv_timer_stop(&retry_timer_);
    if (state_ == State::connected) {
        // After every document handed over, so the broker keeps it last.
        accounts_.forget_reports();
        if (mosquitto_publish(mosq_, &offline_mid_, status_topic_.c_str(), 7, "offline",
                              settings_.qos, true) == MOSQ_ERR_SUCCESS) {
            advance_close();
            rearm();
        } else {
            // No clean disconnect then: the socket closes with the process
            // and the broker publishes the last will, "offline".
            drop_connection();
        }
    } else if (state_ == State::connecting) {
        // Not accepted yet: the broker still holds the status it had.
        drop_connection();
    }
    check_finished();
}

// Once "offline" (sent at QoS 0, acknowledged hence stored at QoS 1) and
// every document handed over are reported, the client disconnects; the
// library closes the socket when the DISCONNECT is written.
void BrokerConnection::advance_close() {
    if (phase_ != Phase::closing || state_ != State::connected) {
        return;
    }
    if (!disconnecting_ && accounts_.reported(offline_mid_) && accounts_.in_flight() == 0) {
        disconnecting_ = true;
        // Refused only when the socket is gone already.
        broken_ = broken_ || mosquitto_disconnect(mosq_) != MOSQ_ERR_SUCCESS;
    }
    if (disconnecting_ && (broken_ || mosquitto_socket(mosq_) < 0)) {
        drop_connection();
        check_finished();
    }
}

void BrokerConnection::check_finished() {
    if (phase_ != Phase::closing || state_ != State::idle || pool_.running()) {
        return;
    }
    phase_ = Phase::finished;
    // Nothing is sent again now: what is handed over and unreported is lost.
    accounts_.abandon_in_flight();
    uv_timer_stop(&misc_timer_);
    uv_timer_stop(&retry_timer_);
    uv_timer_stop(&close_timer_);
    if (stop_done_ != nullptr) {
        stop_done_(stop_done_arg_);
    }
}

void BrokerConnection::end_stop() {
    if (phase_ == Phase::finished) {
        return;
    }
    phase_ = Phase::closing;
    if (state_ == State::connected || state_ == State::connecting) {
        drop_connection();
    }
    // A step in the pool ends in connect_done, which finishes the stop.
    pool_.cancel();
    check_finished();
}
