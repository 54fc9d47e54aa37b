// The blocking step of a connect, in libuv's thread pool: the broker's name
// is resolved and the TCP connect started, without waiting for it to
// complete. From start() until `done` runs on the loop thread, the loop
// thread does not touch the client, and the request belongs to libuv: the
// step counts as running until its after-work callback, libuv's last use of
// the request, has run.
#pragma once

#include <uv.h>

#include <string>

struct mosquitto;

class PoolConnect {
  public:
    // Called on the loop thread once the step is over.
    using Done = void (*)(void* owner);

    PoolConnect(Done done, void* owner) : done_(done), owner_(owner) {}
    PoolConnect(const PoolConnect&) = delete;
    PoolConnect& operator=(const PoolConnect&) = delete;

    // Loop thread: starts the step for `host`, which stays valid until
    // `done`. Returns false when libuv cannot queue it.
    bool start(uv_loop_t* loop, mosquitto* mosq, const std::string& host, int port, int keepalive);

    // Loop thread: a step not yet begun in the pool is called off (`done`
    // then comes with a failed result); one under way runs to its end.
    void cancel();

    // Loop thread: started and `done` not yet called.
    bool running() const { return running_; }

    // The library's result of the last step, and errno after it.
    int result() const { return rc_; }
    int saved_errno() const { return errno_; }

  private:
    static void work(uv_work_t* req);
    static void after(uv_work_t* req, int status);

    Done done_;
    void* owner_;
    uv_work_t req_;
    mosquitto* mosq_ = nullptr;
    const std::string* host_ = nullptr;
    int port_ = 0;
    int keepalive_ = 0;
    // Written by the work function, read on the loop thread after libuv has
    // handed the request back.
    int rc_ = 0;
    int errno_ = 0;
    bool running_ = false;  // loop thread only
};
