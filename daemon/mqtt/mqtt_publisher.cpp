#include "mqtt/mqtt_publisher.h"

MqttPublisher::MqttPublisher(const MqttSettings& settings, uint32_t interval)
    : settings_(settings),
      accounts_(settings_.queue_limit),
      connection_(settings_, accounts_),
      handover_(settings_, interval, accounts_, connection_) {}

bool MqttPublisher::start(uv_loop_t* loop, LoopHandover* handover) {
    handover_.attach(handover);
    return connection_.start(loop);
}
