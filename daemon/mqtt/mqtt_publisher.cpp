#include "mqtt/mqtt_publisher.h"

#include <mosquitto.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "console_log.h"
#include "loop_handover.h"
#include "platform/platform.h"
#include "probe_table.h"

namespace {

constexpr uint64_t first_backoff_ms = 1000;
constexpr uint64_t longest_backoff_ms = 30000;
constexpr uint64_t next_host_delay_ms = 200;
// A connection that has not been accepted by then is given up.
constexpr uint64_t connect_timeout_ms = 10000;

MqttPublisher* publisher_of(void* data) {
    return static_cast<MqttPublisher*>(data);
}

std::string library_error(int rc, int saved_errno) {
    if (rc == MOSQ_ERR_ERRNO) {
        return strerror(saved_errno);
    }
    if (rc == MOSQ_ERR_EAI) {
        return "cannot resolve the broker's name";
    }
    if (rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE) {
        return std::string("TLS check failed: ") + mosquitto_strerror(rc);
    }
    return mosquitto_strerror(rc);
}

}  // namespace

struct MqttPublisher::Submission {
    MqttPublisher* publisher;
    std::vector<std::string> parts;
    uint64_t drops_before;
};

MqttPublisher::MqttPublisher(const MqttSettings& settings, uint32_t interval)
    : settings_(settings),
      interval_(interval),
      scan_topic_(settings.scan_topic()),
      status_topic_(settings.status_topic()),
      queue_(settings.queue_limit) {}

MqttPublisher::~MqttPublisher() {
    if (mosq_ != nullptr) {
        mosquitto_destroy(mosq_);
        mosquitto_lib_cleanup();
    }
}

bool MqttPublisher::start(uv_loop_t* loop, LoopHandover* handover) {
    loop_ = loop;
    handover_ = handover;
    mosquitto_lib_init();
    mosq_ = mosquitto_new(settings_.client_id.c_str(), true, this);
    if (mosq_ == nullptr) {
        fprintf(stderr, "vorlask: mqtt: cannot create the client: %s\n", strerror(errno));
        return false;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    int rc = MOSQ_ERR_SUCCESS;
    if (!settings_.username.empty()) {
        rc = mosquitto_username_pw_set(
            mosq_, settings_.username.c_str(),
            settings_.password.empty() ? nullptr : settings_.password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && settings_.tls()) {
        rc = mosquitto_tls_set(mosq_, settings_.ca_file.c_str(), nullptr,
                               settings_.cert_file.empty() ? nullptr : settings_.cert_file.c_str(),
                               settings_.key_file.empty() ? nullptr : settings_.key_file.c_str(),
                               nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_will_set(mosq_, status_topic_.c_str(), 7, "offline", settings_.qos, true);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        fprintf(stderr, "vorlask: mqtt: the client library refuses the settings: %s\n",
                mosquitto_strerror(rc));
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

// ---- scan worker ----

void MqttPublisher::add_station(const ProbeEntry& entry) {
    const ProbeRecord& record = *entry.record;
    StationRow row;
    memcpy(row.mac, record.mac, sizeof row.mac);
    row.rssi = entry.last_rssi;
    row.band = record.band;
    row.freq = record.freq;
    memcpy(row.second_mac, record.second_mac, sizeof row.second_mac);
    row.count = entry.count - entry.reported_count;
    row.first_seen = entry.first_seen.tv_sec;
    row.last_seen = entry.last_seen.tv_sec;
    document_.rows.push_back(row);
}

ScanSink MqttPublisher::scan_sink() {
    ScanSink sink;
    sink.entry = [](void* context, const ProbeEntry& entry) {
        static_cast<MqttPublisher*>(context)->add_station(entry);
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
        static_cast<MqttPublisher*>(context)->end_scan(totals);
    };
    sink.context = this;
    return sink;
}

void MqttPublisher::end_scan(const DocumentTotals& totals) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    document_.time = now.tv_sec;
    document_.interval = interval_;
    document_.totals = totals;
    publish_scan(document_);
    document_.rows.clear();
    // A scan of a very large table leaves no lasting buffer behind.
    if (document_.rows.capacity() > 4096) {
        document_.rows.shrink_to_fit();
    }
}

void MqttPublisher::publish_scan(ScanDocument& doc) {
    doc.ap = settings_.client_id;
    doc.seq = ++seq_;
    doc.hashed = settings_.hashed;
    doc.secret = &settings_.secret;
    const uint64_t drops = drops_.load(std::memory_order_relaxed);
    doc.totals.queue_dropped = drops - std::min(drops, drops_carried_.load());
    auto* submission = new Submission{this, render_scan_document(doc), drops};
    if (!handover_->post(LoopTask{run_submission, drop_submission, submission})) {
        delete submission;
    }
}

void MqttPublisher::run_submission(void* arg) {
    auto* submission = static_cast<Submission*>(arg);
    submission->publisher->enqueue(submission);
    delete submission;
}

void MqttPublisher::drop_submission(void* arg) {
    delete static_cast<Submission*>(arg);
}

// ---- loop thread ----

void MqttPublisher::enqueue(Submission* submission) {
    size_t dropped = 0;
    for (std::string& part : submission->parts) {
        counts_.documents += 1;
        dropped += queue_.push(PendingDocument{std::move(part), submission->drops_before});
    }
    if (dropped != 0) {
        counts_.dropped += dropped;
        drops_.fetch_add(dropped, std::memory_order_relaxed);
        log_msg(1, "mqtt: queue full (%zu bytes): dropped %zu scan documents, %llu in all\n",
                settings_.queue_limit, dropped, static_cast<unsigned long long>(counts_.dropped));
    }
    pump(window);
    rearm();
}

std::string MqttPublisher::broker() const {
    return settings_.hosts[host_index_] + ":" + std::to_string(settings_.port);
}

void MqttPublisher::say(const std::string& condition, const std::string& text) {
    if (condition == last_condition_) {
        return;
    }
    last_condition_ = condition;
    const std::string line = "mqtt broker " + broker() + ": " + text;
    fprintf(stderr, "vorlask: %s\n", line.c_str());
    if (condition == "connected") {
        system_log_notice(line.c_str());
    } else {
        system_log_error(line.c_str());
    }
}

void MqttPublisher::begin_connect() {
    state_ = State::resolving;
    connect_started_ = uv_now(loop_);
    refusal_.clear();
    broken_ = false;
    {
        std::lock_guard<std::mutex> lock(job_mutex_);
        job_running_ = true;
    }
    connect_req_.data = this;
    if (uv_queue_work(loop_, &connect_req_, connect_work, connect_done) != 0) {
        {
            std::lock_guard<std::mutex> lock(job_mutex_);
            job_running_ = false;
        }
        connection_lost("cannot start a connection");
    }
}

// Thread pool: the name is resolved and the TCP connect started, without
// waiting for it to complete. The loop thread does not touch the client
// until connect_done.
void MqttPublisher::connect_work(uv_work_t* req) {
    MqttPublisher* self = publisher_of(req->data);
    const std::string& host = self->settings_.hosts[self->host_index_];
    errno = 0;
    self->connect_rc_ = mosquitto_connect_async(self->mosq_, host.c_str(), self->settings_.port,
                                                self->settings_.keepalive);
    self->connect_errno_ = errno;
    std::lock_guard<std::mutex> lock(self->job_mutex_);
    self->job_running_ = false;
    self->job_done_.notify_all();
}

void MqttPublisher::connect_done(uv_work_t* req, int /*status*/) {
    MqttPublisher* self = publisher_of(req->data);
    if (self->state_ != State::resolving) {
        return;
    }
    if (self->connect_rc_ != MOSQ_ERR_SUCCESS) {
        self->connection_lost("cannot connect: " +
                              library_error(self->connect_rc_, self->connect_errno_));
        return;
    }
    self->state_ = State::connecting;
    self->watch_socket();
    self->rearm();
}

void MqttPublisher::watch_socket() {
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

void MqttPublisher::rearm() {
    if (poll_ == nullptr) {
        return;
    }
    const int events = UV_READABLE | (mosquitto_want_write(mosq_) ? UV_WRITABLE : 0);
    uv_poll_start(poll_, events, poll_cb);
}

void MqttPublisher::poll_cb(uv_poll_t* handle, int status, int events) {
    MqttPublisher* self = publisher_of(handle->data);
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

void MqttPublisher::io_result(int rc) {
    const int saved_errno = errno;
    if (poll_ == nullptr || (rc == MOSQ_ERR_SUCCESS && !broken_)) {
        return;
    }
    std::string reason;
    if (!refusal_.empty()) {
        reason = refusal_;
    } else if (state_ == State::connected) {
        reason = "lost: " + (rc == MOSQ_ERR_SUCCESS ? std::string("connection closed")
                                                    : library_error(rc, saved_errno));
    } else {
        reason = "cannot connect: " + (rc == MOSQ_ERR_SUCCESS ? std::string("connection closed")
                                                              : library_error(rc, saved_errno));
    }
    connection_lost(reason);
}

void MqttPublisher::misc_cb(uv_timer_t* handle) {
    MqttPublisher* self = publisher_of(handle->data);
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

void MqttPublisher::retry_cb(uv_timer_t* handle) {
    MqttPublisher* self = publisher_of(handle->data);
    if (self->state_ == State::idle) {
        self->begin_connect();
    }
}

void MqttPublisher::connection_lost(const std::string& reason) {
    if (state_ == State::stopped) {
        return;
    }
    if (poll_ != nullptr) {
        uv_poll_stop(poll_);
        uv_close(reinterpret_cast<uv_handle_t*>(poll_),
                 [](uv_handle_t* handle) { delete reinterpret_cast<uv_poll_t*>(handle); });
        poll_ = nullptr;
    }
    // The library forgets QoS 0 messages it had not written yet; it keeps
    // QoS 1 messages and sends them again on the next connection.
    if (settings_.qos == 0) {
        counts_.lost += in_flight_.size();
        in_flight_.clear();
    }
    reported_.clear();
    state_ = State::idle;
    say(reason, reason);
    host_index_ = (host_index_ + 1) % settings_.hosts.size();
    uint64_t delay = next_host_delay_ms;
    if (host_index_ == 0) {
        backoff_ms_ =
            backoff_ms_ == 0 ? first_backoff_ms : std::min(backoff_ms_ * 2, longest_backoff_ms);
        delay = backoff_ms_;
    }
    uv_timer_start(&retry_timer_, retry_cb, delay, 0);
}

void MqttPublisher::pump(size_t limit) {
    if (online_due_ && state_ == State::connected) {
        online_due_ = false;
        int mid = 0;
        mosquitto_publish(mosq_, &mid, status_topic_.c_str(), 6, "online", settings_.qos, true);
        reported_.erase(mid);
    }
    while (state_ == State::connected && !queue_.empty() && in_flight_.size() < limit) {
        PendingDocument& doc = queue_.front();
        int mid = 0;
        const int rc = mosquitto_publish(mosq_, &mid, scan_topic_.c_str(),
                                         static_cast<int>(doc.payload.size()), doc.payload.data(),
                                         settings_.qos, false);
        if (rc != MOSQ_ERR_SUCCESS) {
            break;
        }
        // At QoS 0 the library may report the message sent before this
        // returns.
        if (reported_.erase(mid) != 0) {
            counts_.delivered += 1;
        } else {
            in_flight_[mid] = doc.payload.size();
        }
        counts_.handed += 1;
        drops_carried_.store(doc.drops_before);
        queue_.pop();
    }
}

void MqttPublisher::on_connect(mosquitto* /*mosq*/, void* obj, int rc) {
    MqttPublisher* self = publisher_of(obj);
    if (rc != 0) {
        self->refusal_ = std::string("refused the connection: ") + mosquitto_connack_string(rc);
        return;
    }
    self->state_ = State::connected;
    self->backoff_ms_ = 0;
    self->say("connected", "connected");
    // Published once the library's call returns: publishing from inside its
    // callback takes its locks in another order than everywhere else.
    self->online_due_ = true;
}

void MqttPublisher::on_disconnect(mosquitto* /*mosq*/, void* obj, int /*rc*/) {
    publisher_of(obj)->broken_ = true;
}

void MqttPublisher::on_publish(mosquitto* /*mosq*/, void* obj, int mid) {
    MqttPublisher* self = publisher_of(obj);
    auto it = self->in_flight_.find(mid);
    if (it != self->in_flight_.end()) {
        self->in_flight_.erase(it);
        self->counts_.delivered += 1;
    } else {
        // Reported before its mosquitto_publish returned, or a status message.
        self->reported_.insert(mid);
    }
}

PublisherCounts MqttPublisher::counts() const {
    return counts_;
}

// ---- main thread, after the loop ----

bool MqttPublisher::drive_until(bool (*done)(const MqttPublisher&), int milliseconds) {
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

void MqttPublisher::stop() {
    if (mosq_ == nullptr || state_ == State::stopped) {
        return;
    }
    uv_timer_stop(&misc_timer_);
    uv_timer_stop(&retry_timer_);
    if (poll_ != nullptr) {
        uv_poll_stop(poll_);
    }
    {
        std::unique_lock<std::mutex> lock(job_mutex_);
        job_done_.wait(lock, [this] { return !job_running_; });
    }
    if (state_ == State::resolving && connect_rc_ == MOSQ_ERR_SUCCESS) {
        state_ = State::connecting;
    }
    if (state_ == State::connecting) {
        drive_until([](const MqttPublisher& p) { return p.state_ == State::connected; }, 2000);
    }
    if (state_ == State::connected) {
        drive_until([](const MqttPublisher& p) { return p.queue_.empty() && p.in_flight_.empty(); },
                    3000);
        reported_.clear();
        mosquitto_publish(mosq_, &offline_mid_, status_topic_.c_str(), 7, "offline", settings_.qos,
                          true);
        // Sent (QoS 0) or acknowledged, hence stored (QoS 1).
        drive_until([](const MqttPublisher& p) { return p.reported_.count(p.offline_mid_) != 0; },
                    1000);
        mosquitto_disconnect(mosq_);
        drive_until([](const MqttPublisher& p) { return !mosquitto_want_write(p.mosq_); }, 1000);
    }
    state_ = State::stopped;
    log_msg(1,
            "mqtt: %llu scan documents, %llu handed to the broker, %llu delivered, %llu dropped "
            "(queue full), %llu lost in transit, %zu left in the queue\n",
            static_cast<unsigned long long>(counts_.documents),
            static_cast<unsigned long long>(counts_.handed),
            static_cast<unsigned long long>(counts_.delivered),
            static_cast<unsigned long long>(counts_.dropped),
            static_cast<unsigned long long>(counts_.lost), queue_.size());
}
