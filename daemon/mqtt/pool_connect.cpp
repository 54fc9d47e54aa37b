#include "mqtt/pool_connect.h"

#include <mosquitto.h>

#include <cerrno>

bool PoolConnect::start(uv_loop_t* loop, mosquitto* mosq, const std::string& host, int port,
                        int keepalive) {
    mosq_ = mosq;
    host_ = &host;
    port_ = port;
    keepalive_ = keepalive;
    req_.data = this;
    if (uv_queue_work(loop, &req_, work, after) != 0) {
        return false;
    }
    running_ = true;
    return true;
}

void PoolConnect::cancel() {
    if (running_) {
        // Fails (UV_EBUSY) once the work has begun: it then ends by itself.
        (void)uv_cancel(reinterpret_cast<uv_req_t*>(&req_));
    }
}

void PoolConnect::work(uv_work_t* req) {
    PoolConnect* self = static_cast<PoolConnect*>(req->data);
    errno = 0;
    self->rc_ =
        mosquitto_connect_async(self->mosq_, self->host_->c_str(), self->port_, self->keepalive_);
    self->errno_ = errno;
}

void PoolConnect::after(uv_work_t* req, int status) {
    PoolConnect* self = static_cast<PoolConnect*>(req->data);
    if (status == UV_ECANCELED) {
        self->rc_ = MOSQ_ERR_NO_CONN;
        self->errno_ = 0;
    }
    // libuv is done with the request only now.
    self->running_ = false;
    self->done_(self->owner_);
}
