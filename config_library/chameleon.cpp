#include "chameleon.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>
#include <string_view>
#include <tuple>

namespace {

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

// The blanks the parser trims: blank, tab, carriage return, newline.
bool blank(char c) {
    constexpr unsigned long long set = 1ULL << ' ' | 1ULL << '\t' | 1ULL << '\r' | 1ULL << '\n';
    const auto code = static_cast<unsigned char>(c);
    return code <= ' ' && (set >> code & 1) != 0;
}

// The characters from begin to end without blanks at either end: what trim
// gives with the parser's set, without a copy.
std::string_view trimmed(const char* begin, const char* end) {
    while (end > begin && blank(end[-1])) {
        --end;
    }
    while (begin < end && blank(*begin)) {
        ++begin;
    }
    return std::string_view(begin, static_cast<size_t>(end - begin));
}

// The first c from begin to end, or null.
const char* find_char(const char* begin, const char* end, char c) {
    return static_cast<const char*>(memchr(begin, c, static_cast<size_t>(end - begin)));
}

// An open file, closed when it goes out of scope (an exception included).
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

using Entries = std::map<std::string, Chameleon>;

// Turns the lines of one file into entries, one line at a time.
class Parser {
  public:
    explicit Parser(Entries& entries) : entries_(entries), after_(entries.end()) {}

    // One line, without its "\n".
    void line(const char* begin, const char* end) {
        if (begin == end || *begin == '#' || *begin == ';') {
            return;
        }
        if (*begin == '[') {
            const char* close = find_char(begin + 1, end, ']');
            key_.assign(trimmed(begin + 1, close != nullptr ? close : end)).append(1, '/');
            section_size_ = key_.size();
            return;
        }
        const char* eq = find_char(begin, end, '=');
        const std::string_view name = trimmed(begin, eq != nullptr ? eq : end);
        key_.resize(section_size_);
        key_.append(name);
        value_.assign(eq != nullptr ? trimmed(eq + 1, end) : name);
        store();
    }

  private:
    // Stores value_ under key_; a key stored before takes the new value (the
    // last occurrence wins). The map is asked to place the entry right after
    // the one stored last: that costs two comparisons when the keys come in
    // the map's order (a sorted file, or one section's keys written in
    // order) and falls back to a search from the root when they do not.
    void store() {
        const size_t count = entries_.size();
        after_ = entries_.emplace_hint(after_ == entries_.end() ? after_ : std::next(after_),
                                       std::piecewise_construct, std::forward_as_tuple(key_),
                                       std::forward_as_tuple(value_));
        if (entries_.size() == count) {
            after_->second = value_;
        }
    }

    Entries& entries_;
    Entries::iterator after_;  // the entry stored last
    std::string key_ = "/";    // section + "/" + key of the current line
    size_t section_size_ = 1;  // the length of section + "/" in key_
    std::string value_;        // its value
};

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

// The file is read in blocks and split at "\n" inside each block; the
// unfinished line at the end of a block moves to the front of the buffer,
// which grows when one line fills it. A last line without "\n" counts.
// Reading stops at end of file or at the first read error.
Confile::Confile(const std::string& path) {
    const Descriptor file{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) {
        return;
    }
    Parser parser(entries_);
    std::string buffer(size_t{64} * 1024, '\0');
    size_t held = 0;  // bytes of an unfinished line at the front of the buffer
    for (;;) {
        if (held == buffer.size()) {
            buffer.resize(2 * buffer.size());
        }
        const ssize_t got = read(file.fd, &buffer[held], buffer.size() - held);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        const char* line = buffer.data();
        const char* from = line + held;  // the held bytes hold no "\n"
        const char* const end = from + got;
        for (const char* eol; (eol = find_char(from, end, '\n')) != nullptr;
             from = line = eol + 1) {
            parser.line(line, eol);
        }
        held = static_cast<size_t>(end - line);
        memmove(buffer.data(), line, held);
    }
    if (held > 0) {
        parser.line(buffer.data(), buffer.data() + held);
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
