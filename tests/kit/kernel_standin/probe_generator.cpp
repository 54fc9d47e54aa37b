#include "probe_generator.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace standin {

namespace {

uint64_t mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// An odd multiplier and an xor are a bijection on 40 bits, so distinct
// indexes give distinct low address bytes.
void address(uint64_t seed, uint64_t salt, uint8_t first, uint64_t index, uint8_t mac[6]) {
    constexpr uint64_t mask = (1ull << 40) - 1;
    const uint64_t key = mix(seed * 0x9e3779b97f4a7c15ull + salt);
    const uint64_t low = ((index * 0x5DEECE66Dull) ^ key) & mask;
    mac[0] = first;
    for (int i = 0; i < 5; ++i) {
        mac[1 + i] = static_cast<uint8_t>(low >> (8 * (4 - i)));
    }
}

uint8_t first_byte(uint64_t seed) {
    return static_cast<uint8_t>(mix(seed) >> 56);
}

uint64_t count_for(double seconds, double rate) {
    if (rate <= 0 || seconds <= 0) {
        return 0;
    }
    return static_cast<uint64_t>(std::ceil(seconds * rate - 1e-9));
}

}  // namespace

void stable_mac(uint64_t seed, uint64_t index, uint8_t mac[6]) {
    address(seed, 1, first_byte(seed) & 0xFC, index, mac);
}

void random_mac(uint64_t seed, uint64_t index, uint8_t mac[6]) {
    address(seed, 2, (first_byte(seed) & 0xF8) | 0x02, index, mac);
}

void flood_mac(uint64_t seed, uint64_t index, uint8_t mac[6]) {
    address(seed, 3, (first_byte(seed) & 0xF8) | 0x06, index, mac);
}

ProbeGenerator::ProbeGenerator(const GeneratorOptions& options) : options_(options) {
    const GeneratorOptions& o = options_;
    limit_[burst] = o.burst;
    limit_[stable] = o.stable == 0 ? 0 : count_for(o.duration, o.stable * o.stable_rate);
    limit_[random] = o.duration > 0 ? static_cast<uint64_t>(o.random) * o.random_hits : 0;
    limit_[flood] = count_for(o.flood_secs, o.flood_rate);
    // The access point the stations probe; the same for every message.
    address(o.seed, 4, 0x02, 0, second_mac_);
}

uint64_t ProbeGenerator::total() const {
    uint64_t sum = 0;
    for (uint64_t limit : limit_) {
        sum += limit;
    }
    return sum;
}

double ProbeGenerator::time_of(int stream) const {
    const GeneratorOptions& o = options_;
    const double i = static_cast<double>(done_[stream]);
    switch (stream) {
        case burst:
            return 0;
        case stable:
            return i / (o.stable * o.stable_rate);
        case random:
            return std::floor(i / o.random_hits) * o.duration / o.random;
        default:
            return o.flood_start + i / o.flood_rate;
    }
}

bool ProbeGenerator::next(Datagram& datagram) {
    int chosen = -1;
    double at = std::numeric_limits<double>::infinity();
    for (int s = 0; s < stream_count; ++s) {
        if (done_[s] < limit_[s] && time_of(s) < at) {
            at = time_of(s);
            chosen = s;
        }
    }
    if (chosen < 0) {
        return false;
    }
    const uint64_t i = done_[chosen]++;
    ProbeFields fields;
    switch (chosen) {
        case burst:
            stable_mac(options_.seed, options_.stable == 0 ? 0 : i % options_.stable, fields.mac);
            break;
        case stable:
            stable_mac(options_.seed, i % options_.stable, fields.mac);
            break;
        case random:
            random_mac(options_.seed, i / options_.random_hits, fields.mac);
            break;
        default:
            flood_mac(options_.seed, i, fields.mac);
            break;
    }
    memcpy(fields.second_mac, second_mac_, 6);
    fields.rssi = static_cast<int8_t>(-30 - static_cast<int>(i % 60));
    fields.band = 1;
    fields.freq = static_cast<uint16_t>(2412 + 5 * (i % 13));
    encode_probe(fields, ++seq_, message_);
    datagram.at = at;
    datagram.data = message_;
    datagram.length = probe_message_size;
    return true;
}

}  // namespace standin
