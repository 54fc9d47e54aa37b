#include "mqtt/mqtt_settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "chameleon.h"
#include "client_id.h"
#include "mqtt/address_hash.h"
#include "number_text.h"

namespace {

const char section[] = "mqtt";
const char* const all_keys[] = {"host",      "port",        "client_id",    "prefix",
                                "qos",       "keepalive",   "username",     "password_file",
                                "ca_file",   "cert_file",   "key_file",     "queue_limit",
                                "addresses", "secret_file", "homeassistant"};

bool lookup(const Confile& config, const char* key, std::string& value, const char* in = section) {
    try {
        value = static_cast<std::string>(config.Value(in, key));
        return true;
    } catch (const char*) {
        return false;
    }
}

// A topic level: no separator, no wildcard, no blank or control character.
bool topic_level(const std::string& text) {
    return !text.empty() && text.size() <= 64 && std::none_of(text.begin(), text.end(), [](char c) {
        return c == '/' || c == '+' || c == '#' || static_cast<unsigned char>(c) <= ' ' ||
               c == 0x7f;
    });
}

// A relative path is taken inside the directory systemd hands the service's
// credentials in, when there is one.
std::string resolve(const std::string& path) {
    const char* dir = getenv("CREDENTIALS_DIRECTORY");
    if (path.empty() || path[0] == '/' || dir == nullptr || *dir == '\0') {
        return path;
    }
    return std::string(dir) + "/" + path;
}

// A secret or password file: a regular file (a FIFO would hold start-up, a
// device could be endless), of which the first 4 KiB are read.
bool read_whole(const std::string& path, std::string& content, std::string& why) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why =
            fd < 0 ? std::string("cannot read the file: ") + strerror(errno) : "not a regular file";
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    close(fd);
    if (n < 0) {
        why = std::string("cannot read the file: ") + strerror(errno);
        return false;
    }
    content.assign(buffer, static_cast<size_t>(n));
    while (!content.empty() && (content.back() == '\n' || content.back() == '\r')) {
        content.pop_back();
    }
    return true;
}

// A file the client library reads when it connects: a readable regular file.
bool readable(const std::string& path, std::string& why) {
    struct stat st;
    if (access(path.c_str(), R_OK) != 0 || stat(path.c_str(), &st) != 0) {
        why = std::string("cannot read the file: ") + strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = "not a regular file";
        return false;
    }
    return true;
}

// `text` cut at every `separator`.
std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t end; (end = text.find(separator, start)) != std::string::npos; start = end + 1) {
        pieces.push_back(text.substr(start, end - start));
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

// Reads the section one group of keys at a time; each step returns the
// error line, or an empty string when its keys are good.
class SectionReader {
  public:
    SectionReader(const Confile& config, const char* path, MqttSettings& s)
        : config_(config), path_(path), s_(s) {}

    std::string hosts() {
        if (!lookup(config_, "host", value_)) {
            std::string line = "vorlask: ";
            return line.append(path_).append(": section [mqtt] has no key host");
        }
        for (std::string host : split(value_, ',')) {
            host = trim(host, " \t");
            if (host.empty() || host.find_first_of(" \t/") != std::string::npos) {
                return bad("host", "a comma-separated list of broker names or addresses");
            }
            s_.hosts.push_back(host);
        }
        return "";
    }

    std::string tls_files() {
        if (lookup(config_, "ca_file", value_)) {
            s_.ca_file = resolve(value_);
            if (!readable(s_.ca_file, why_)) {
                return bad("ca_file", why_);
            }
        }
        for (const char* key : {"cert_file", "key_file"}) {
            if (!lookup(config_, key, value_)) {
                continue;
            }
            std::string& file = key[0] == 'c' ? s_.cert_file : s_.key_file;
            file = resolve(value_);
            if (!readable(file, why_)) {
                return bad(key, why_);
            }
            if (s_.ca_file.empty()) {
                return bad(key, "needs ca_file");
            }
        }
        if (s_.cert_file.empty() != s_.key_file.empty()) {
            value_ = s_.cert_file.empty() ? s_.key_file : s_.cert_file;
            return s_.cert_file.empty() ? bad("key_file", "needs cert_file")
                                        : bad("cert_file", "needs key_file");
        }
        return "";
    }

    // Whole numbers: decimal digits only, at most 10 of them.
    std::string numbers() {
        const UnsignedForm port{1, 65535, 10};
        const UnsignedForm keepalive{5, 65535, 10};
        uint64_t number = 0;
        s_.port = s_.tls() ? 8883 : 1883;
        if (lookup(config_, "port", value_)) {
            if (read_unsigned(value_.data(), value_.size(), port, number) != NumberRead::ok) {
                return bad("port", "a port number from 1 to 65535");
            }
            s_.port = static_cast<uint16_t>(number);
        }
        if (lookup(config_, "qos", value_)) {
            if (value_ != "0" && value_ != "1") {
                return bad("qos", "0 or 1");
            }
            s_.qos = value_[0] - '0';
        }
        if (lookup(config_, "keepalive", value_)) {
            if (read_unsigned(value_.data(), value_.size(), keepalive, number) != NumberRead::ok) {
                return bad("keepalive", "seconds from 5 to 65535");
            }
            s_.keepalive = static_cast<int>(number);
        }
        return queue_limit();
    }

    std::string queue_limit() {
        if (!lookup(config_, "queue_limit", value_)) {
            return "";
        }
        // The count and its unit are multiplied and bounded in 64 bits: on a
        // 32-bit router "4097M" would wrap to 1 MiB in the width of size_t.
        static const NumberSuffix units[] = {
            {'k', 1024}, {'K', 1024}, {'M', uint64_t{1024} * 1024}};
        const UnsignedForm form{1, uint64_t{1} << 30, 10, units, 3};
        uint64_t count = 0;
        uint64_t multiplier = 1;
        const bool read =
            read_unsigned(value_.data(), value_.size(), form, count, multiplier) == NumberRead::ok;
        const uint64_t bytes = count * multiplier;  // at most 2^30 * 2^20
        if (!read || bytes < uint64_t{64} * 1024 || bytes > uint64_t{64} * 1024 * 1024) {
            return bad("queue_limit", "bytes from 64K to 64M");
        }
        s_.queue_limit = static_cast<size_t>(bytes);
        return "";
    }

    std::string names() {
        // Topic prefixes: the daemon's, and Home Assistant's discovery prefix.
        for (std::string* target : {&s_.prefix, &s_.homeassistant}) {
            const char* key = target == &s_.prefix ? "prefix" : "homeassistant";
            if (lookup(config_, key, value_)) {
                const std::vector<std::string> levels = split(value_, '/');
                if (!std::all_of(levels.begin(), levels.end(), topic_level)) {
                    return bad(key, "topic levels without wildcards or blanks");
                }
                *target = value_;
            }
        }
        if (lookup(config_, "username", value_)) {
            if (value_.empty()) {
                return bad("username", "a user name");
            }
            s_.username = value_;
        }
        if (lookup(config_, "password_file", value_)) {
            if (s_.username.empty()) {
                return bad("password_file", "needs username");
            }
            if (!read_whole(resolve(value_), s_.password, why_)) {
                return bad("password_file", why_);
            }
            s_.password.erase(std::min(s_.password.find('\n'), s_.password.size()));
        }
        return "";
    }

    std::string client_id(const IdentitySources& sources) {
        if (lookup(config_, "client_id", value_)) {
            if (!client_id_valid(value_.data(), value_.size())) {
                return bad("client_id",
                           "UTF-8 of 1 to 64 bytes without control characters, '/', '+' or '#'");
            }
            s_.client_id = value_;
        } else if (!s_.username.empty()) {
            s_.client_id = s_.username;
        } else {
            char host[256] = {};
            gethostname(host, sizeof host - 1);
            s_.client_id = default_client_id(host, sources);
        }
        if (!client_id_valid(s_.client_id.data(), s_.client_id.size())) {
            value_ = s_.client_id;
            return bad("client_id",
                       "no usable default from host name and machine identity: set one");
        }
        return "";
    }

    std::string address_form() {
        if (lookup(config_, "addresses", value_)) {
            if (value_ != "plain" && value_ != "hashed") {
                return bad("addresses", "plain or hashed");
            }
            s_.hashed = value_ == "hashed";
        }
        const bool has_secret = lookup(config_, "secret_file", value_);
        if (has_secret) {
            if (!read_whole(resolve(value_), s_.secret, why_)) {
                return bad("secret_file", why_);
            }
            if (s_.secret.empty()) {
                return bad("secret_file", "the file is empty");
            }
            // Hashed once now: a failing HMAC ends start-up here rather than
            // publishing every station under one empty or zero hash.
            const std::string failure = address_hash_failure(s_.secret);
            if (s_.hashed && !failure.empty()) {
                return bad("secret_file", "cannot hash addresses with it: " + failure);
            }
        }
        if (s_.hashed && !has_secret) {
            value_ = "hashed";
            return bad("addresses", "needs secret_file");
        }
        return "";
    }

  private:
    // The one error line for `key` and the value last looked up.
    std::string bad(const char* key, const std::string& reason) const {
        std::string line = "vorlask: ";
        line.append(path_).append(": section [mqtt] key ").append(key);
        line.append(": bad value \"").append(value_).append("\" (").append(reason).append(")");
        return line;
    }

    const Confile& config_;
    const char* path_;
    MqttSettings& s_;
    std::string value_;
    std::string why_;
};

}  // namespace

std::string read_mqtt_settings(const Confile& config, const char* path, MqttSettings& settings,
                               const IdentitySources& sources) {
    settings = MqttSettings();
    std::string any;
    const bool present = std::any_of(std::begin(all_keys), std::end(all_keys),
                                     [&](const char* key) { return lookup(config, key, any); });
    if (!present) {
        return "";
    }
    SectionReader reader(config, path, settings);
    std::string error = reader.hosts();
    for (auto step : {&SectionReader::tls_files, &SectionReader::numbers, &SectionReader::names,
                      &SectionReader::address_form}) {
        if (!error.empty()) {
            break;
        }
        error = (reader.*step)();
    }
    if (error.empty()) {
        error = reader.client_id(sources);
    }
    if (!error.empty()) {
        settings = MqttSettings();
        return error;
    }
    settings.enabled = true;
    return "";
}
