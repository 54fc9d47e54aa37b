#include "fleet_intake.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fleet_clock.h"
#include "fleet_view.h"

namespace fleet {

namespace {

constexpr uint64_t connack_wait_ms = 10000;
constexpr uint64_t first_retry_ms = 200;
constexpr uint64_t longest_retry_ms = 5000;
// A connection that ends sooner than this after its CONNACK counts as a
// failed attempt: a broker that accepts and then drops (or hands the session
// to another client with the same id) gets the back-off, not a storm.
constexpr uint64_t stable_ms = 10000;
// Short connections in a row after which the likely cause is said.
constexpr unsigned takeover_runs = 3;
// Packets read per poll callback before the loop gets a turn.
constexpr int reads_per_turn = 256;

}  // namespace

FleetIntake::FleetIntake(uv_loop_t* loop, IntakeSettings settings, FleetView& view)
    : loop_(loop),
      settings_(std::move(settings)),
      view_(view),
      subscriptions_(settings_.prefix, settings_.qos, settings_.sites, settings_.partitions),
      jitter_(std::random_device()()) {}

FleetIntake::~FleetIntake() {
    if (mosq_ != nullptr) {
        mosquitto_destroy(mosq_);
    }
}

std::string FleetIntake::broker_name() const {
    const BrokerAddress& b = settings_.brokers[broker_];
    return b.host + ":" + std::to_string(b.port != 0 ? b.port : settings_.port);
}

bool FleetIntake::start(std::string& error) {
    mosq_ = new_client(settings_, this, error);
    if (mosq_ == nullptr) {
        return false;
    }
    if (!settings_.homeassistant.empty()) {
        homeassistant_ = std::make_unique<FleetHomeAssistant>(settings_);
        if (!homeassistant_->set_will(mosq_, error)) {
            return false;
        }
    }
    mosquitto_connect_callback_set(mosq_, on_connect_cb);
    mosquitto_message_callback_set(mosq_, on_message_cb);
    mosquitto_subscribe_callback_set(mosq_, on_subscribe_cb);

    if (!reader_.start(loop_, [this](IntakeMessage& m) { deliver(m); })) {
        error = "cannot start the scan document reader";
        return false;
    }
    open_handles_++;
    reader_.on_room = [this] { read_later(); };
    for (uv_timer_t* t : {&misc_timer_, &retry_timer_, &more_timer_}) {
        uv_timer_init(loop_, t);
        t->data = this;
        open_handles_++;
    }
    uv_timer_start(
        &misc_timer_,
        [](uv_timer_t* t) {
            auto* self = static_cast<FleetIntake*>(t->data);
            if (self->state_ == State::awaiting_connack &&
                uv_now(self->loop_) >= self->connack_deadline_) {
                self->lost("no answer to the connection request");
                return;
            }
            if (self->state_ == State::awaiting_connack || self->state_ == State::connected) {
                int rc = mosquitto_loop_misc(self->mosq_);
                if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(self->mosq_) < 0) {
                    self->lost("keep-alive expired");
                    return;
                }
                if (self->homeassistant_ && self->state_ == State::connected) {
                    self->homeassistant_->tick(self->mosq_, self->view_);
                }
                self->update_poll();
                self->check_quiet();
                self->check_stable();
            }
            self->notices_.tick(uv_now(self->loop_));
        },
        1000, 1000);
    connect_next();
    return true;
}

void FleetIntake::connect_next() {
    if (only_311_.size() != settings_.brokers.size()) {
        only_311_.assign(settings_.brokers.size(), false);
    }
    std::string error;
    if (!use_protocol(mosq_, !only_311_[broker_], settings_.persistent, error)) {
        state_ = State::awaiting_connack;  // lost() words it as a failed attempt
        lost(error.c_str());
        return;
    }
    state_ = State::connecting;
    work_busy_ = true;
    work_.data = this;
    uv_queue_work(
        loop_, &work_,
        [](uv_work_t* w) {
            // In the thread pool: the loop does not touch the client meanwhile.
            // The name is resolved here; the TCP connection is only begun, and
            // completes (or fails) on the loop, under the CONNACK deadline.
            auto* self = static_cast<FleetIntake*>(w->data);
            const BrokerAddress& b = self->settings_.brokers[self->broker_];
            errno = 0;
            self->connect_rc_ = mosquitto_connect_async(self->mosq_, b.host.c_str(),
                                                        b.port != 0 ? b.port : self->settings_.port,
                                                        self->settings_.keepalive);
            self->connect_errno_ = errno;
        },
        [](uv_work_t* w, int status) {
            auto* self = static_cast<FleetIntake*>(w->data);
            self->work_busy_ = false;
            if (self->state_ == State::stopping) {
                self->finish_stop();
                return;
            }
            self->connect_done(status == 0 ? self->connect_rc_ : MOSQ_ERR_UNKNOWN);
        });
}

void FleetIntake::connect_done(int rc) {
    if (rc != MOSQ_ERR_SUCCESS) {
        std::string why = rc == MOSQ_ERR_ERRNO && connect_errno_ != 0 ? strerror(connect_errno_)
                                                                      : mosquitto_strerror(rc);
        state_ = State::awaiting_connack;  // lost() words it as a failed attempt
        lost(why.c_str());
        return;
    }
    poll_ = new uv_poll_t;
    if (uv_poll_init_socket(loop_, poll_, mosquitto_socket(mosq_)) != 0) {
        delete poll_;
        poll_ = nullptr;
        state_ = State::awaiting_connack;
        lost("cannot watch the socket");
        return;
    }
    poll_->data = this;
    poll_events_ = 0;
    state_ = State::awaiting_connack;
    connack_deadline_ = uv_now(loop_) + connack_wait_ms;
    update_poll();
}

void FleetIntake::update_poll() {
    if (poll_ == nullptr) {
        return;
    }
    // Not reading while the reader has its fill: the broker waits.
    int events =
        (reader_.full() ? 0 : UV_READABLE) | (mosquitto_want_write(mosq_) ? UV_WRITABLE : 0);
    if (events == poll_events_) {
        return;
    }
    poll_events_ = events;
    if (events == 0) {
        uv_poll_stop(poll_);
        return;
    }
    uv_poll_start(poll_, events, [](uv_poll_t* p, int status, int ready) {
        auto* self = static_cast<FleetIntake*>(p->data);
        if (status < 0) {
            self->lost(uv_strerror(status));
            return;
        }
        self->service(ready);
    });
}

void FleetIntake::service(int events) {
    if (events & UV_READABLE) {
        read_more();
        if (poll_ == nullptr) {
            return;
        }
    }
    if (events & UV_WRITABLE) {
        int rc = mosquitto_loop_write(mosq_, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            lost(rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc));
            return;
        }
    }
    update_poll();
}

void FleetIntake::read_more() {
    read_packets();
    reader_.flush();  // nothing read waits past this turn of the loop
}

void FleetIntake::read_packets() {
    for (int i = 0; i < reads_per_turn; ++i) {
        if (reader_.full()) {
            update_poll();  // on_room reads on
            return;
        }
        // The read step says nothing of whether the socket is drained; a read
        // that would block leaves EAGAIN behind (TLS included, whose buffered
        // bytes the poll handle cannot see).
        errno = 0;
        int rc = mosquitto_loop_read(mosq_, 1);
        if (state_ == State::stopping) {
            return;  // a callback of this read ended the intake
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            if (rc == MOSQ_ERR_CONN_REFUSED) {
                lost(nullptr);  // the refusal was said with its reason
            } else {
                lost(rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc));
            }
            return;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return;
        }
    }
    read_later();
}

void FleetIntake::read_later() {
    // At the next turn of the loop: after a long burst, or once the reader
    // has room (libmosquitto may hold bytes the poll handle cannot see).
    if (poll_ == nullptr || state_ == State::stopping) {
        return;
    }
    update_poll();
    uv_timer_start(
        &more_timer_,
        [](uv_timer_t* t) {
            auto* self = static_cast<FleetIntake*>(t->data);
            if (self->poll_ != nullptr) {
                self->service(UV_READABLE);
            }
        },
        0, 0);
}

void FleetIntake::close_poll() {
    if (poll_ != nullptr) {
        uv_close(reinterpret_cast<uv_handle_t*>(poll_),
                 [](uv_handle_t* h) { delete reinterpret_cast<uv_poll_t*>(h); });
        poll_ = nullptr;
    }
    uv_timer_stop(&more_timer_);
}

void FleetIntake::check_stable() {
    uint64_t now = uv_now(loop_);
    if (state_ == State::connected && !stable_ && now - connected_at_ >= stable_ms) {
        stable_ = true;
        failures_ = 0;
        short_runs_ = 0;
        notices_.reset(now);
    }
}

void FleetIntake::lost(const char* why) {
    close_poll();
    uint64_t now = uv_now(loop_);
    if (again_) {
        // The broker refused MQTT 5 (said in on_connect_cb): 3.1.1 at once.
        again_ = false;
        retry_after(0);
        return;
    }
    if (state_ == State::connected) {
        check_stable();
        notices_.say("lost " + broker_name() + ": " + (why != nullptr ? why : "closed"), now);
        if (!stable_) {
            failures_++;
            if (++short_runs_ >= takeover_runs) {
                notices_.say(
                    broker_name() + " keeps closing the session soon after accepting it: " +
                        "is another client connected with the client id '" + settings_.client_id +
                        "'? Each collector needs its own (--client-id)",
                    now);
            }
        }
    } else {
        if (why != nullptr) {
            notices_.say("cannot connect to " + broker_name() + ": " + why, now);
        }
        failures_++;
    }
    size_t n = settings_.brokers.size();
    broker_ = (broker_ + 1) % n;
    // The next broker at once after a working connection went; a short pause
    // between brokers of one round; longer ones once every broker failed.
    uint64_t delay = 0;
    if (failures_ > 0) {
        unsigned rounds = static_cast<unsigned>((failures_ - 1) / n);
        delay = std::min<uint64_t>(first_retry_ms << std::min(rounds, 8u), longest_retry_ms);
        // Half of it fixed, half drawn: collectors that failed together do
        // not come back together.
        delay = delay / 2 + std::uniform_int_distribution<uint64_t>(0, delay / 2)(jitter_);
    }
    retry_after(delay);
}

void FleetIntake::retry_after(uint64_t delay) {
    state_ = State::waiting;
    uv_timer_start(
        &retry_timer_,
        [](uv_timer_t* t) {
            auto* self = static_cast<FleetIntake*>(t->data);
            if (self->state_ == State::waiting) {
                self->connect_next();
            }
        },
        delay, 0);
}

void FleetIntake::on_connect_cb(mosquitto* mosq, void* data, int rc) {
    auto* self = static_cast<FleetIntake*>(data);
    uint64_t now = uv_now(self->loop_);
    if (rc != 0 && protocol_refused(rc) && !self->only_311_[self->broker_]) {
        self->only_311_[self->broker_] = true;
        self->again_ = true;
        self->notices_.say(self->broker_name() +
                               " speaks MQTT 3.1.1 only: it is asked for 3.1.1, and nothing "
                               "there bounds the size of what it sends",
                           now);
        return;
    }
    if (rc != 0) {
        self->notices_.say(self->broker_name() + " refused the connection: " +
                               connack_text(rc, !self->only_311_[self->broker_]),
                           now);
        return;
    }
    self->state_ = State::connected;
    self->connected_at_ = now;
    self->stable_ = false;
    self->notices_.say("connected to " + self->broker_name(), now);
    std::string error;
    if (!self->subscriptions_.subscribe(mosq, error)) {
        self->lost(error.c_str());
        return;
    }
    if (self->homeassistant_ && !self->homeassistant_->connected(mosq, self->view_, error)) {
        self->lost(error.c_str());
        return;
    }
    if (self->on_connected) {
        self->on_connected();
    }
}

void FleetIntake::on_subscribe_cb(mosquitto*, void* data, int mid, int count, const int* granted) {
    auto* self = static_cast<FleetIntake*>(data);
    std::string topic;
    if (self->subscriptions_.refused(mid, count, granted, uv_now(self->loop_), topic)) {
        fprintf(stderr, "vorlask-fleet: %s refused the subscription to %s\n",
                self->broker_name().c_str(), topic.c_str());
        if (self->on_refused) {
            self->on_refused();
        }
    }
}

void FleetIntake::check_quiet() {
    for (const std::string& topic : subscriptions_.quiet(uv_now(loop_))) {
        fprintf(stderr,
                "vorlask-fleet: nothing received on %s from %s in %llu s since it was granted "
                "(may this client read it?)\n",
                topic.c_str(), broker_name().c_str(),
                static_cast<unsigned long long>(FleetSubscriptions::quiet_ms / 1000));
    }
}

void FleetIntake::on_message_cb(mosquitto*, void* data, const mosquitto_message* message) {
    static_cast<FleetIntake*>(data)->take_message(message);
}

void FleetIntake::take_message(const mosquitto_message* message) {
    messages_++;
    if (homeassistant_ && homeassistant_->message(mosq_, message)) {
        return;
    }
    // <prefix>/<access point>/scan or <prefix>/<access point>/status, with a site level (and
    // a partition's) after the prefix when the collector takes sites
    FleetSubscriptions::Parts topic;
    if (!subscriptions_.split(message->topic, topic)) {
        foreign_topics_++;
        return;
    }
    subscriptions_.delivered(topic.subscription);
    std::unique_ptr<IntakeMessage> m = reader_.message();
    m->scan = topic.kind == FleetSubscriptions::scan;
    m->ap = std::move(topic.ap);
    m->site = std::move(topic.site);
    m->topic = message->topic;
    size_t size = message->payloadlen > 0 ? static_cast<size_t>(message->payloadlen) : 0;
    m->set_payload(static_cast<const char*>(message->payload), size);
    m->arrival = fleet_now();
    reader_.hand_over(std::move(m));
}

void FleetIntake::deliver(IntakeMessage& m) {
    bool accepted = m.scan ? view_.take_read_part(m.ap, m.read, m.part, m.arrival)
                           : view_.take_status(m.ap, m.payload(), m.payload_size(), m.arrival);
    // Placed once taken: a scan listener told during an access point's very first document
    // sees its site only from the next.
    if (accepted && !m.site.empty()) {
        view_.place(m.ap, m.site);
    }
    if (!accepted && settings_.verbose > 0) {
        fprintf(stderr, "vorlask-fleet: refused a %s document on %s\n", m.scan ? "scan" : "status",
                m.topic.c_str());
    }
    if (on_message) {
        on_message();
    }
}

void FleetIntake::stop(std::function<void()> done) {
    stopped_ = std::move(done);
    notices_.reset(uv_now(loop_));  // the counts not said yet
    if (state_ == State::idle) {
        finish_stop();
        return;
    }
    // Without "offline" handed over, no clean disconnect: the broker then
    // publishes the will.
    if (state_ == State::connected && (!homeassistant_ || homeassistant_->going_offline(mosq_))) {
        mosquitto_disconnect(mosq_);
    }
    state_ = State::stopping;
    close_poll();
    reader_.stop([this] {
        open_handles_--;
        finish_stop();
    });
    for (uv_timer_t* t : {&misc_timer_, &retry_timer_, &more_timer_}) {
        uv_close(reinterpret_cast<uv_handle_t*>(t), [](uv_handle_t* h) {
            auto* self = static_cast<FleetIntake*>(h->data);
            self->open_handles_--;
            self->finish_stop();
        });
    }
    if (work_busy_) {
        uv_cancel(reinterpret_cast<uv_req_t*>(&work_));
    }
}

void FleetIntake::finish_stop() {
    if (open_handles_ > 0 || work_busy_ || !stopped_) {
        return;
    }
    auto done = std::move(stopped_);
    stopped_ = nullptr;
    done();
}

}  // namespace fleet
