// libFuzzer target for the configuration parser. Confile reads a path, so
// each input is written to an anonymous memory file and parsed through its
// /proc/self/fd name; what was stored is checked against a plain line by line
// reading of the same text, then a few lookups run over it, and the daemon's
// reading of its [scan] section.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "chameleon.h"
#include "mqtt/mqtt_settings.h"
#include "persistent/scan_config.h"

namespace {

int input_file() {
    static int fd = memfd_create("config_parser_fuzz", 0);
    if (fd < 0) {
        perror("memfd_create");
        abort();
    }
    return fd;
}

bool write_all(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = input_file();
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0 || !write_all(fd, data, size)) {
        perror("memfd write");
        abort();
    }
    Confile config("/proc/self/fd/" + std::to_string(fd));

    // Every entry line is found again with the value of the last line of
    // its map key, as a plain std::getline reading of the same text gives.
    const std::string blanks = " \t\r\n";
    std::istringstream text(std::string(reinterpret_cast<const char*>(data), size));
    std::map<std::string, std::string> expected;
    std::vector<std::pair<std::string, std::string>> names;  // section, key
    std::string line;
    std::string section;
    while (std::getline(text, line)) {
        if (line.empty() || line[0] == '#' || line[0] == ';') {
            continue;
        }
        std::string::size_type cut = line.find(line[0] == '[' ? ']' : '=');
        if (line[0] == '[') {
            section =
                trim(line.substr(1, cut == std::string::npos ? cut : cut - 1), blanks.c_str());
            continue;
        }
        std::string key = trim(line.substr(0, cut), blanks.c_str());
        expected[section + "/" + key] =
            cut == std::string::npos ? key : trim(line.substr(cut + 1), blanks.c_str());
        names.emplace_back(section, key);
    }
    for (const auto& name : names) {
        std::string value;
        try {
            value = std::string(static_cast<const Confile&>(config).Value(name.first, name.second));
        } catch (const char*) {
            fprintf(stderr, "entry [%s] %s is missing\n", name.first.c_str(), name.second.c_str());
            abort();
        }
        if (value != expected[name.first + "/" + name.second]) {
            fprintf(stderr, "entry [%s] %s has another value\n", name.first.c_str(),
                    name.second.c_str());
            abort();
        }
    }

    const Confile& read_only = config;
    try {
        std::string value = read_only.Value("server", "ucast_addr");
        (void)static_cast<double>(read_only.Value("server", "ucast_addr"));
    } catch (const char*) {
    }
    Chameleon& port = config.Value("server", "port", 5566.0);
    if (&port != &config.Value("server", "port", 1.0)) {
        abort();
    }
    (void)static_cast<double>(port);

    // The [scan] section: whatever it holds, an accepted rule has spans the
    // daemon can use.
    ScanRule rule;
    if (read_scan_rule(read_only, "fuzz", rule) &&
        (rule.min_span == 0 || rule.min_span > rule.memory || rule.memory > scan_span_limit)) {
        fprintf(stderr, "accepted spans %u and %u\n", rule.min_span, rule.memory);
        abort();
    }

    // The [mqtt] keys: either settings that hold together or one error line
    // that names the file and the section.
    MqttSettings mqtt;
    const std::string error = read_mqtt_settings(read_only, "/etc/vorlask.conf", mqtt);
    if (!error.empty()) {
        if (mqtt.enabled || error.rfind("vorlask: /etc/vorlask.conf: section [mqtt]", 0) != 0 ||
            error.find('\n') != std::string::npos) {
            fprintf(stderr, "bad error line: %s\n", error.c_str());
            abort();
        }
    } else if (mqtt.enabled &&
               (mqtt.hosts.empty() || mqtt.client_id.empty() || mqtt.port == 0 || mqtt.qos > 1 ||
                mqtt.queue_limit < 65536 || (mqtt.hashed && mqtt.secret.empty()) ||
                mqtt.scan_topic().find_first_of("+#") != std::string::npos)) {
        fprintf(stderr, "inconsistent [mqtt] settings accepted\n");
        abort();
    }
    return 0;
}
