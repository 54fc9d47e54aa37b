#include "mqtt/pool_connect.h"

#include <mosquitto.h>

#include <cerrno>

bool PoolConnect::start(uv_loop_t* loop, mosquitto* mosq, const std::string& host, int port,
                        int keepalive) {
    mosq_ = mosq;
    host_ = &host;
    port_ = port;
    keepalive_ = keepalive;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = true;
    }
    req_.data = this;
    if (uv_queue_work(loop, &req_, work, after) != 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        return false;
    }
    return true;
}

void PoolConnect::work(uv_work_t* req) {
    PoolConnect* self = static_cast<PoolConnect*>(req->data);
    errno = 0;
    self->rc_ =
        mosquitto_connect_async(self->mosq_, self->host_->c_str(), self->port_, self->keepalive_);
    self->errno_ = errno;
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->running_ = false;
    self->finished_.notify_all();
}

void PoolConnect::after(uv_work_t* req, int /*status*/) {
    PoolConnect* self = static_cast<PoolConnect*>(req->data);
    self->done_(self->owner_);
}

void PoolConnect::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [this] { return !running_; });
}
