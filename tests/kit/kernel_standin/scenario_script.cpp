#include "scenario_script.h"

#include <cfloat>
#include <sstream>

#include "number_text.h"
#include "probe_message.h"

namespace standin {

namespace {

// Largest single raw datagram; netlink itself takes no more in one message.
constexpr size_t max_raw_bytes = 65536;
constexpr uint32_t max_repeat = 100000000;

// Seconds from 0: a digit or '.' first, then what strtod reads.
bool parse_offset(const std::string& text, double& value) {
    return read_real(text.c_str(), RealForm{0, DBL_MAX, true}, value) == NumberRead::ok;
}

// A decimal integer with an optional sign, from `min` to `max`.
bool parse_integer(const std::string& text, long min, long max, long& value) {
    int64_t parsed = 0;
    if (read_signed(text.c_str(), SignedForm{min, max}, parsed) != NumberRead::ok) {
        return false;
    }
    value = static_cast<long>(parsed);
    return true;
}

// The error text of one line, or empty when the line parsed into `step`.
std::string parse_step(const std::vector<std::string>& words, ScriptStep& step) {
    if (!parse_offset(words[0], step.offset)) {
        return "bad offset \"" + words[0] + "\" (expected seconds, e.g. 0.5)";
    }
    if (words.size() < 2) {
        return "nothing to send after the offset";
    }
    if (words[1] == "raw") {
        step.raw = true;
        std::string digits;
        for (size_t i = 2; i < words.size(); ++i) {
            digits += words[i];
        }
        if (digits.empty()) {
            return "raw datagram without bytes";
        }
        if (digits.size() % 2 != 0) {
            return "odd number of hex digits in raw datagram";
        }
        if (digits.size() / 2 > max_raw_bytes) {
            return "raw datagram longer than 65536 bytes";
        }
        for (size_t i = 0; i < digits.size(); i += 2) {
            int high = hex_digit(digits[i]);
            int low = hex_digit(digits[i + 1]);
            if (high < 0 || low < 0) {
                return "bad hex digit in raw datagram";
            }
            step.bytes.push_back(static_cast<uint8_t>(high << 4 | low));
        }
        return "";
    }
    step.raw = false;
    if (words.size() < 6 || words.size() > 7) {
        return "expected OFFSET MAC SECOND_MAC RSSI BAND FREQ [REPEAT] or OFFSET raw HEXBYTES";
    }
    if (!parse_mac(words[1], step.probe.mac)) {
        return "bad MAC \"" + words[1] + "\" (expected aa:bb:cc:dd:ee:ff)";
    }
    if (!parse_mac(words[2], step.probe.second_mac)) {
        return "bad SECOND_MAC \"" + words[2] + "\" (expected aa:bb:cc:dd:ee:ff)";
    }
    long value = 0;
    if (!parse_integer(words[3], -128, 127, value)) {
        return "bad RSSI \"" + words[3] + "\" (expected -128 to 127)";
    }
    step.probe.rssi = static_cast<int8_t>(value);
    if (!parse_integer(words[4], 0, 255, value)) {
        return "bad BAND \"" + words[4] + "\" (expected 0 to 255)";
    }
    step.probe.band = static_cast<uint8_t>(value);
    if (!parse_integer(words[5], 0, 65535, value)) {
        return "bad FREQ \"" + words[5] + "\" (expected 0 to 65535)";
    }
    step.probe.freq = static_cast<uint16_t>(value);
    step.repeat = 1;
    if (words.size() == 7) {
        if (!parse_integer(words[6], 1, max_repeat, value)) {
            return "bad REPEAT \"" + words[6] + "\" (expected 1 to 100000000)";
        }
        step.repeat = static_cast<uint32_t>(value);
    }
    return "";
}

}  // namespace

bool parse_script(std::istream& in, std::vector<ScriptStep>& steps, std::string& error) {
    std::vector<ScriptStep> parsed;
    std::string line;
    size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        size_t hash = line.find('#');
        if (hash != std::string::npos) {
            line.erase(hash);
        }
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string word; fields >> word;) {
            words.push_back(word);
        }
        if (words.empty()) {
            continue;
        }
        ScriptStep step{};
        std::string problem = parse_step(words, step);
        if (problem.empty() && !parsed.empty() && step.offset < parsed.back().offset) {
            problem = "offset " + words[0] + " is before the previous step's";
        }
        if (!problem.empty()) {
            error = "line " + std::to_string(number) + ": " + problem;
            return false;
        }
        parsed.push_back(std::move(step));
    }
    if (in.bad()) {
        error = "read error";
        return false;
    }
    steps = std::move(parsed);
    return true;
}

}  // namespace standin
