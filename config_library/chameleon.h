// chameleon: reads INI-style files (sections in brackets, key = value lines,
// comment lines) into memory and answers lookups by section and key.
#pragma once

#include <map>
#include <string>

#if defined(CHAMELEON_BUILD)
#define CHAMELEON_API __attribute__((visibility("default")))
#else
#define CHAMELEON_API
#endif

// A value held as text, convertible to and from std::string and double.
class CHAMELEON_API Chameleon {
  public:
    Chameleon() = default;
    Chameleon(const std::string& text);
    Chameleon(const char* text);
    Chameleon(double number);
    Chameleon(const Chameleon& other);

    Chameleon& operator=(const Chameleon& other);
    Chameleon& operator=(double number);
    Chameleon& operator=(const std::string& text);

    operator std::string() const;
    // The text read with atof: the longest leading number, 0 when there is none.
    operator double() const;

  private:
    std::string text_;
};

// The whole of one configuration file, read at construction.
class CHAMELEON_API Confile {
  public:
    // Reads and parses `path`; a file that cannot be opened gives an empty
    // configuration.
    explicit Confile(const std::string& path);

    // The value of `key` in `section`. Throws a const char* pointing at
    // "does not exist" when there is none.
    const Chameleon& Value(const std::string& section, const std::string& key) const;
    // The value of `key` in `section`; a missing one is first stored as
    // `fallback`. The reference stays valid as long as the Confile.
    Chameleon& Value(const std::string& section, const std::string& key, double fallback);
    Chameleon& Value(const std::string& section, const std::string& key,
                     const std::string& fallback);

  private:
    std::map<std::string, Chameleon> entries_;
};

// `text` without leading and trailing characters of `set`.
CHAMELEON_API std::string trim(const std::string& text, const char* set);
