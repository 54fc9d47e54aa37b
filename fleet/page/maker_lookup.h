// The maker's name of a station address from the IEEE registry as Debian's ieee-data ships it
// (MA-L 24-bit, MA-M 28-bit, MA-S and IAB 36-bit assignments; the longest match wins). Only
// globally administered unicast addresses get a name: a locally administered (randomised)
// address says nothing about its maker, and a hashed id is not an address at all.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

namespace fleet_page {

class MakerLookup {
  public:
    static constexpr const char* kDefaultDirectory = "/usr/share/ieee-data";

    // Reads oui.csv, mam.csv, oui36.csv and iab.csv from directory; files that are missing are
    // skipped. Returns the number of assignments read.
    size_t load(const std::string& directory);
    // Adds one CSV file's rows (Registry,Assignment,Organization Name,...); returns rows taken.
    size_t load_file(const std::string& path);

    // The maker of a lower- or upper-case colon-form address, or an empty string.
    const std::string& maker(const std::string& address) const;
    size_t size() const { return by_prefix_.size(); }

  private:
    // Key: the assignment's bits left-aligned in 36 bits, tagged with its length (24/28/36).
    std::unordered_map<uint64_t, std::string> by_prefix_;
};

}  // namespace fleet_page
