#include "mqtt/mqtt.h"

#include <cstdio>
#include <string>

#include "mqtt/mqtt_publisher.h"
#include "mqtt/mqtt_settings.h"

MqttFeature::MqttFeature(const char* config_path)
    : config_path_(config_path), settings_(std::make_unique<MqttSettings>()) {}

MqttFeature::~MqttFeature() = default;

bool MqttFeature::read_section(const Confile& config, void* feature) {
    auto* self = static_cast<MqttFeature*>(feature);
    const std::string error = read_mqtt_settings(config, self->config_path_, *self->settings_);
    if (!error.empty()) {
        fprintf(stderr, "%s\n", error.c_str());
    }
    return error.empty();
}

bool MqttFeature::start(uint32_t interval, uv_loop_t* loop, LoopHandover* handover,
                        ScanSinks& sinks, bool crowd) {
    if (!settings_->enabled) {
        return true;
    }
    settings_->crowd_sensors = crowd;
    publisher_ = std::make_unique<MqttPublisher>(*settings_, interval);
    if (!publisher_->start(loop, handover)) {
        return false;
    }
    if (!add_scan_sink(sinks, publisher_->scan_sink())) {
        fprintf(stderr, "vorlask: mqtt: no room for another output of the scan\n");
        return false;
    }
    return true;
}

void MqttFeature::begin_stop(uint64_t wait_ms, void (*done)(void*), void* arg) {
    if (publisher_) {
        publisher_->begin_stop(wait_ms, done, arg);
    } else {
        done(arg);
    }
}

void MqttFeature::end_stop() {
    if (publisher_) {
        publisher_->end_stop();
    }
}

void MqttFeature::stop() {
    if (publisher_) {
        publisher_->stop();
    }
}
