#include "maker_lookup.h"

#include <csv.h>

#include <cstdio>
#include <vector>

#include "mac_text.h"

namespace fleet_page {

namespace {

uint64_t key(uint64_t bits36, int length) {
    return (bits36 >> (36 - length)) << 8 | static_cast<uint64_t>(length);
}

// Collects one record's fields from libcsv's callbacks.
struct Rows {
    std::vector<std::string> fields;
    std::unordered_map<uint64_t, std::string>* target;
    size_t taken = 0;
    bool header = true;
};

void on_field(void* data, size_t length, void* context) {
    auto* rows = static_cast<Rows*>(context);
    rows->fields.emplace_back(data ? static_cast<const char*>(data) : "", data ? length : 0);
}

void on_record(int, void* context) {
    auto* rows = static_cast<Rows*>(context);
    std::vector<std::string> fields;
    fields.swap(rows->fields);
    if (rows->header) {
        rows->header = false;
        return;
    }
    if (fields.size() < 3)
        return;
    const std::string& assignment = fields[1];
    int length = static_cast<int>(assignment.size()) * 4;
    if (length != 24 && length != 28 && length != 36)
        return;
    uint64_t bits = 0;
    for (char c : assignment) {
        int v = hex_digit(c);
        if (v < 0)
            return;
        bits = bits << 4 | static_cast<uint64_t>(v);
    }
    bits <<= 36 - length;
    (*rows->target)[key(bits, length)] = fields[2];
    ++rows->taken;
}

}  // namespace

size_t MakerLookup::load(const std::string& directory) {
    size_t taken = 0;
    for (const char* name : {"oui.csv", "mam.csv", "oui36.csv", "iab.csv"})
        taken += load_file(directory + "/" + name);
    return taken;
}

size_t MakerLookup::load_file(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return 0;
    csv_parser parser;
    if (csv_init(&parser, CSV_APPEND_NULL) != 0) {
        std::fclose(file);
        return 0;
    }
    Rows rows;
    rows.target = &by_prefix_;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        if (csv_parse(&parser, buffer, n, on_field, on_record, &rows) != n)
            break;
    }
    csv_fini(&parser, on_field, on_record, &rows);
    csv_free(&parser);
    std::fclose(file);
    return rows.taken;
}

const std::string& MakerLookup::maker(const std::string& address) const {
    static const std::string none;
    // Exactly six two-digit groups separated by colons.
    if (address.size() != 17)
        return none;
    uint64_t bits48 = 0;
    for (size_t i = 0; i < 17; ++i) {
        if (i % 3 == 2) {
            if (address[i] != ':')
                return none;
            continue;
        }
        int v = hex_digit(address[i]);
        if (v < 0)
            return none;
        bits48 = bits48 << 4 | static_cast<uint64_t>(v);
    }
    // First octet: bit 0 group address, bit 1 locally administered.
    if ((bits48 >> 40) & 0x03)
        return none;
    uint64_t bits36 = bits48 >> 12;
    for (int length : {36, 28, 24}) {
        auto it = by_prefix_.find(key(bits36, length));
        if (it != by_prefix_.end())
            return it->second;
    }
    return none;
}

}  // namespace fleet_page
