#include "console_table.h"

#include "console_log.h"
#include "probe_table.h"

void print_probe_header() {
    const ConsoleLine hold;
    log_msg(0, "Timestamp         MAC                     ");
    log_msg(1, "                ");
    log_msg(0, "Rssi     ");
    log_msg(1, "Band     Freq      Cnt/Delta(%u)", 10u);
    log_msg(0, "\n");
    log_msg(0, "+-----------------+-----------------------");
    log_msg(1, "----------------");
    log_msg(0, "+----------");
    log_msg(1, "+-------+--------+-------");
    log_msg(0, "\n");
}

namespace {
void print_hex6(uint8_t level, const uint8_t* bytes) {
    for (int i = 0; i < 6; ++i) {
        log_msg(level, "%02x", bytes[i]);
    }
}
}  // namespace

void print_probe_row(const ProbeEntry& entry) {
    const ConsoleLine hold;
    const ProbeRecord& record = *entry.record;
    uint32_t delta = entry.count - entry.reported_count;
    // The seconds as a 64-bit value: a long is 32 bits on the routers, and the
    // 64-bit time_t there goes past 2038.
    log_msg(0, "%lld.%03ld    ", static_cast<long long>(entry.last_seen.tv_sec),
            static_cast<long>(entry.last_seen.tv_usec / 1000));
    print_hex6(0, record.mac);
    log_msg(1, " - ");
    print_hex6(1, record.second_mac);
    log_msg(0, "            %3d", static_cast<int>(record.rssi));
    log_msg(1, "       %2u", static_cast<unsigned>(record.band));
    log_msg(1, "       %4u", static_cast<unsigned>(record.freq));
    log_msg(1, "   %5u", delta);
    log_msg(0, "\n");
}

namespace {
void print_entry(void* /*context*/, const ProbeEntry& entry) {
    print_probe_row(entry);
}
}  // namespace

ScanSink console_table_sink() {
    return ScanSink{print_entry, nullptr, nullptr};
}
