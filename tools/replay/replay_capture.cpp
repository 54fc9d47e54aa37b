#include "replay_capture.h"

#include <pcap/pcap.h>

#include <cstdio>

#include "mac_text.h"

bool read_capture(const std::string& path, std::vector<ReplayStep>& steps, ReplayCounts& counts,
                  std::string& error) {
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t* pcap = pcap_open_offline(path.c_str(), errbuf);
    if (pcap == nullptr) {
        error = errbuf;
        return false;
    }
    if (pcap_datalink(pcap) != DLT_IEEE802_11_RADIO) {
        const char* name = pcap_datalink_val_to_name(pcap_datalink(pcap));
        error = std::string("link type ") + (name ? name : "unknown") +
                ", not 802.11 with radiotap headers (record on a monitor interface)";
        pcap_close(pcap);
        return false;
    }
    bool have_first = false;
    double first = 0;
    struct pcap_pkthdr* hdr = nullptr;
    const u_char* data = nullptr;
    int r;
    while ((r = pcap_next_ex(pcap, &hdr, &data)) == 1) {
        ++counts.frames;
        ReplayStep step{};
        switch (vorlask_frame_to_probe(data, hdr->caplen, &step.probe)) {
            case VORLASK_FRAME_PROBE: {
                ++counts.probes;
                double t = static_cast<double>(hdr->ts.tv_sec) + hdr->ts.tv_usec / 1e6;
                if (!have_first) {
                    first = t;
                    counts.first_time = t;
                    have_first = true;
                }
                step.offset = t - first;
                if (!steps.empty() && step.offset < steps.back().offset) {
                    step.offset = steps.back().offset;  // scripts never go back in time
                }
                steps.push_back(step);
                break;
            }
            case VORLASK_FRAME_OTHER:
                ++counts.other;
                break;
            case VORLASK_FRAME_MALFORMED:
                ++counts.malformed;
                break;
            case VORLASK_FRAME_BAD_FCS:
                ++counts.bad_fcs;
                break;
        }
    }
    if (r == PCAP_ERROR) {
        error = pcap_geterr(pcap);
        pcap_close(pcap);
        return false;
    }
    pcap_close(pcap);
    return true;
}

std::string script_line(const ReplayStep& step, double speed, double delay) {
    char text[128];
    snprintf(text, sizeof text, "%.3f %s %s %d %u %u", step.offset / speed + delay,
             format_mac(step.probe.mac).c_str(), format_mac(step.probe.second_mac).c_str(),
             step.probe.rssi, step.probe.band, step.probe.freq);
    return text;
}
