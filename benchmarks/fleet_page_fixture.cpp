#include "fleet_page_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

using namespace fleet;

namespace page_bench {

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

std::string address_of(int i) {
    char text[32];
    std::snprintf(text, sizeof text, "02:00:00:%02x:%02x:%02x", (i >> 16) & 0xff, (i >> 8) & 0xff,
                  i & 0xff);
    return text;
}

std::string scan_document(int k, uint64_t seq, int step) {
    std::string s = "{\"ap\":\"ap-" + std::to_string(k) + "\",\"seq\":" + std::to_string(seq) +
                    ",\"time\":1765280000,\"interval\":10,\"part\":1,\"parts\":1,"
                    "\"address_form\":\"plain\",\"stations\":[";
    for (int i = 0; i < kStations; ++i) {
        s += std::string(i ? "," : "") + "{\"address\":\"" + address_of(k * step + i) +
             "\",\"rssi\":" + std::to_string(-40 - (i + k) % 40) +
             ",\"band\":0,\"freq\":2437,\"second_mac\":\"ff:ff:ff:ff:ff:ff\",\"count\":3,"
             "\"first_seen\":1765279990,\"last_seen\":1765279999,\"first_age\":10,\"last_age\":1}";
    }
    return s +
           "],\"totals\":{\"table\":100,\"reported\":100,\"dropped\":0,\"turned_away\":0,"
           "\"kernel_lost\":0,\"queue_dropped\":0},\"crowd\":{\"randomised\":20,\"estimate\":7}}";
}

void build(Fleet& f, int aps, int step) {
    f.view.add_scan_listener(
        [&](const Scan& s, int64_t t) { f.samples.push_back(sample_of(s, t)); });
    for (int k = 0; k < aps; ++k) {
        std::string doc = scan_document(k, 1, step);
        f.document_bytes += doc.size();
        f.view.take_scan_payload("ap-" + std::to_string(k), doc.data(), doc.size(), kNow);
    }
}

namespace {

// PATH fetched from 127.0.0.1:PORT, from the local address FROM when given; each piece of the
// answer handed to TAKE.
template <typename Take>
void fetch_into(uint16_t port, const char* path, const char* from, Take take) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    bool bound =
        from == nullptr || (inet_pton(AF_INET, from, &local.sin_addr) == 1 &&
                            bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0);
    if (bound && connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        std::string request = std::string("GET ") + path + " HTTP/1.0\r\n\r\n";
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) > 0) {
            static thread_local char buffer[1 << 16];
            ssize_t n;
            while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0)
                take(buffer, static_cast<size_t>(n));
        }
    }
    close(fd);
}

}  // namespace

std::string fetch(uint16_t port, const char* path) {
    std::string answer;
    fetch_into(port, path, nullptr, [&](const char* p, size_t n) { answer.append(p, n); });
    return answer;
}

size_t fetch_size(uint16_t port, const char* path, const char* from) {
    size_t size = 0;
    fetch_into(port, path, from, [&](const char*, size_t n) { size += n; });
    return size;
}

bool start_page(fleet_page::FleetPage& page, const std::string& db, uint16_t port) {
    fleet_page::PageSettings settings;
    settings.http.port = port;
    settings.db_path = db;
    std::string error;
    if (!page.start(settings, error)) {
        std::fprintf(stderr, "fleet_page_bench: %s\n", error.c_str());
        return false;
    }
    return true;
}

}  // namespace page_bench
