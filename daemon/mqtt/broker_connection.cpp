#include "mqtt/broker_connection.h"

#include <mosquitto.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "mqtt/mqtt_client.h"

namespace {

constexpr uint64_t first_backoff_ms = 1000;
constexpr uint64_t longest_backoff_ms = 30000;
constexpr uint64_t next_host_delay_ms = 200;
// A connection that has not been accepted by then is given up.
constexpr uint64_t connect_timeout_ms = 10000;

BrokerConnection* connection_of(void* data) {
    return static_cast<BrokerConnection*>(data);
}

}  // namespace

BrokerConnection::BrokerConnection(const MqttSettings& settings, DeliveryAccounts& accounts)
    : settings_(settings),
      accounts_(accounts),
      scan_topic_(settings.scan_topic()),
      status_topic_(settings.status_topic()),
      pool_(connect_done, this) {}

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

    uv_timer_init(loop_, &misc_timer_);
    misc_timer_.data = this;
    uv_timer_start(&misc_timer_, misc_cb, 1000, 1000);
    uv_timer_init(loop_, &retry_timer_);
    retry_timer_.data = this;
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
    uv_poll_start(poll_, events, poll_cb);
}

void BrokerConnection::poll_cb(uv_poll_t* handle, int status, int events) {
    BrokerConnection* self = connection_of(handle->data);
    if (handle != self->poll_) {
        return;
    }
    if (status < 0) {
        // libuv reports an error condition on the socket as a bad
        // descriptor; the socket's own error says what happened.
        int error = 0;
        socklen_t length = sizeof error;
        uv_os_fd_t fd;
        std::string what = status == UV_EBADF ? "the connection failed" : uv_strerror(status);
        if (uv_fileno(reinterpret_cast<uv_handle_t*>(handle), &fd) == 0 &&
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0) {
            what = strerror(error);
        }
        self->connection_lost((self->state_ == State::connected ? "lost: " : "cannot connect: ") +
                              what);
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
    self->rearm();
}

void BrokerConnection::io_result(int rc) {
    const int saved_errno = errno;
    if (poll_ == nullptr || (rc == MOSQ_ERR_SUCCESS && !broken_)) {
        return;
    }
    std::string reason;
    if (!refusal_.empty()) {
        reason = refusal_;
    } else if (state_ == State::connected) {
        reason = "lost: " + (rc == MOSQ_ERR_SUCCESS ? std::string("connection closed")
                                                    : mqtt_client_error(rc, saved_errno));
    } else {
        reason = "cannot connect: " + (rc == MOSQ_ERR_SUCCESS ? std::string("connection closed")
                                                              : mqtt_client_error(rc, saved_errno));
    }
    connection_lost(reason);
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

void BrokerConnection::connection_lost(const std::string& reason) {
    if (state_ == State::stopped) {
        return;
    }
    if (poll_ != nullptr) {
        uv_poll_stop(poll_);
        uv_close(reinterpret_cast<uv_handle_t*>(poll_),
                 [](uv_handle_t* handle) { delete reinterpret_cast<uv_poll_t*>(handle); });
        poll_ = nullptr;
    }
    accounts_.connection_ended(settings_.qos);
    state_ = State::idle;
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
    if (online_due_ && state_ == State::connected) {
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

// ---- main thread, after the loop ----

bool BrokerConnection::drive_until(bool (*done)(const BrokerConnection&), int milliseconds) {
    uint64_t waited = 0;
    while (!done(*this) && !broken_ && mosquitto_socket(mosq_) >= 0 &&
           waited < static_cast<uint64_t>(milliseconds)) {
        struct pollfd p = {mosquitto_socket(mosq_),
                           static_cast<short>(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0)),
                           0};
        if (poll(&p, 1, 50) == 0) {
            waited += 50;
        }
        if ((p.revents & (POLLIN | POLLERR | POLLHUP)) != 0 &&
            mosquitto_loop_read(mosq_, 1) != MOSQ_ERR_SUCCESS) {
            break;
        }
        if ((p.revents & POLLOUT) != 0 && mosquitto_loop_write(mosq_, 1) != MOSQ_ERR_SUCCESS) {
            break;
        }
        mosquitto_loop_misc(mosq_);
        pump(window);
    }
    return done(*this);
}

bool BrokerConnection::stop() {
    if (mosq_ == nullptr || state_ == State::stopped) {
        return false;
    }
    uv_timer_stop(&misc_timer_);
    uv_timer_stop(&retry_timer_);
    if (poll_ != nullptr) {
        uv_poll_stop(poll_);
    }
    pool_.wait();
    if (state_ == State::resolving && pool_.result() == MOSQ_ERR_SUCCESS) {
        state_ = State::connecting;
    }
    if (state_ == State::connecting) {
        drive_until([](const BrokerConnection& c) { return c.state_ == State::connected; }, 2000);
    }
    if (state_ == State::connected) {
        drive_until([](const BrokerConnection& c) { return c.accounts_.settled(); }, 3000);
        accounts_.forget_reports();
        mosquitto_publish(mosq_, &offline_mid_, status_topic_.c_str(), 7, "offline", settings_.qos,
                          true);
        // Sent (QoS 0) or acknowledged, hence stored (QoS 1).
        drive_until([](const BrokerConnection& c) { return c.accounts_.reported(c.offline_mid_); },
                    1000);
        mosquitto_disconnect(mosq_);
        drive_until([](const BrokerConnection& c) { return !mosquitto_want_write(c.mosq_); }, 1000);
    }
    state_ = State::stopped;
    return true;
}
