// Synthetic probe traffic: stable stations, randomised addresses, a flood of
// new addresses and a burst, merged in time order.
#pragma once

#include <cstdint>

#include "datagram_source.h"
#include "standin_cli.h"

namespace standin {

// Address of stable station `index`: globally administered, unicast, fixed
// for a seed, distinct for distinct indexes (below 2^40).
void stable_mac(uint64_t seed, uint64_t index, uint8_t mac[6]);
// Address number `index` of the randomised set: locally administered bit set.
void random_mac(uint64_t seed, uint64_t index, uint8_t mac[6]);
// Address of flood datagram `index`: locally administered, never equal to a
// stable or randomised address.
void flood_mac(uint64_t seed, uint64_t index, uint8_t mac[6]);

// The traffic, as datagrams:
// - burst: K messages at time 0, cycling over the stable stations (the first
//   stable address when there are none);
// - stable: N stations, message i at i / (N * R) seconds from station i mod N,
//   for the duration;
// - random: M addresses, address j at j * duration / M, sent K times back to
//   back;
// - flood: datagram i at S + i / RATE from a new address, for T seconds.
class ProbeGenerator : public DatagramSource {
  public:
    explicit ProbeGenerator(const GeneratorOptions& options);
    bool next(Datagram& datagram) override;
    // Datagrams the whole run will send.
    uint64_t total() const;

  private:
    enum Stream { burst, stable, random, flood, stream_count };
    double time_of(int stream) const;
    GeneratorOptions options_;
    uint64_t limit_[stream_count];
    uint64_t done_[stream_count] = {};
    uint32_t seq_ = 0;
    uint8_t second_mac_[6];
    uint8_t message_[probe_message_size];
};

}  // namespace standin
