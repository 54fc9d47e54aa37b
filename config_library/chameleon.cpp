#include "chameleon.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

const char* const blanks = " \t\r\n";
const char* const missing = "does not exist";

std::string format_number(double number) {
    std::ostringstream out;
    out << number;
    return out.str();
}

std::string map_key(const std::string& section, const std::string& key) {
    std::string joined;
    joined.reserve(section.size() + 1 + key.size());
    joined.append(section).append(1, '/').append(key);
    return joined;
}

}  // namespace

Chameleon::Chameleon(const std::string& text) : text_(text) {}
Chameleon::Chameleon(const char* text) : text_(text) {}
Chameleon::Chameleon(double number) : text_(format_number(number)) {}
Chameleon::Chameleon(const Chameleon& other) : text_(other.text_) {}

Chameleon& Chameleon::operator=(const Chameleon& other) {
    if (this != &other) {
        text_ = other.text_;
    }
    return *this;
}

Chameleon& Chameleon::operator=(double number) {
    text_ = format_number(number);
    return *this;
}

Chameleon& Chameleon::operator=(const std::string& text) {
    text_ = text;
    return *this;
}

Chameleon::operator std::string() const {
    return text_;
}

Chameleon::operator double() const {
    // atof on purpose: text that is not a number reads as 0, without an error.
    return atof(text_.c_str());  // NOLINT(cert-err34-c)
}

std::string trim(const std::string& text, const char* set) {
    std::string copy = text;
    std::string::size_type last = copy.find_last_not_of(set);
    if (last != std::string::npos) {
        copy.erase(last + 1);
    }
    std::string::size_type first = copy.find_first_not_of(set);
    if (first == std::string::npos) {
        copy.clear();
    } else {
        copy.erase(0, first);
    }
    return copy;
}

Confile::Confile(const std::string& path) {
    std::ifstream file(path.c_str());
    std::string line;
    std::string section;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#' || line[0] == ';') {
            continue;
        }
        if (line[0] == '[') {
            std::string::size_type close = line.find(']');
            std::string::size_type count =
                close == std::string::npos ? std::string::npos : close - 1;
            section = trim(line.substr(1, count), blanks);
            continue;
        }
        std::string key;
        std::string value;
        std::string::size_type eq = line.find('=');
        if (eq == std::string::npos) {
            key = trim(line, blanks);
            value = key;
        } else {
            key = trim(line.substr(0, eq), blanks);
            value = trim(line.substr(eq + 1), blanks);
        }
        entries_[map_key(section, key)] = Chameleon(value);
    }
}

const Chameleon& Confile::Value(const std::string& section, const std::string& key) const {
    auto it = entries_.find(map_key(section, key));
    if (it == entries_.end()) {
        // The library's interface: a missing entry throws its const char* text.
        throw missing;  // NOLINT(cert-err09-cpp,cert-err61-cpp)
    }
    return it->second;
}

Chameleon& Confile::Value(const std::string& section, const std::string& key, double fallback) {
    try {
        return const_cast<Chameleon&>(static_cast<const Confile&>(*this).Value(section, key));
    } catch (const char*) {
        return entries_[map_key(section, key)] = Chameleon(fallback);
    }
}

Chameleon& Confile::Value(const std::string& section, const std::string& key,
                          const std::string& fallback) {
    try {
        return const_cast<Chameleon&>(static_cast<const Confile&>(*this).Value(section, key));
    } catch (const char*) {
        return entries_[map_key(section, key)] = Chameleon(fallback);
    }
}
