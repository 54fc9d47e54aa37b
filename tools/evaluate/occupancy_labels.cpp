#include "occupancy_labels.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::vector<std::string> fields_of(const std::string& line) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, ';')) {
        fields.push_back(field);
    }
    if (!fields.empty() && !fields.back().empty() && fields.back().back() == '\r') {
        fields.back().pop_back();
    }
    return fields;
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
long days_from_civil(long y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long>(doe) - 719468;
}

// "YYYY-MM-DD HH:MM:SS[.ffffff]" as seconds since the epoch, zone ignored.
bool parse_datetime(const std::string& text, double& out) {
    int y = 0;
    unsigned mo = 0, d = 0, h = 0, mi = 0;
    double s = 0;
    int used = 0;
    if (sscanf(text.c_str(), "%4d-%2u-%2u %2u:%2u:%lf%n", &y, &mo, &d, &h, &mi, &s, &used) != 6 ||
        static_cast<size_t>(used) != text.size() || mo < 1 || mo > 12 || d < 1 || d > 31 ||
        h > 23 || mi > 59 || s < 0 || s >= 61) {
        return false;
    }
    out = static_cast<double>(days_from_civil(y, mo, d)) * 86400 + h * 3600 + mi * 60 + s;
    return true;
}

size_t column_of(const std::vector<std::string>& header, const char* name) {
    for (size_t i = 0; i < header.size(); ++i) {
        if (header[i] == name) {
            return i;
        }
    }
    return header.size();
}

}  // namespace

bool read_occupancy(const std::string& path, std::vector<OccupancyRow>& rows, bool& found,
                    std::string& error) {
    std::ifstream in(path);
    found = static_cast<bool>(in);
    if (!found) {
        return true;
    }
    std::string line;
    std::getline(in, line);
    std::vector<std::string> header = fields_of(line);
    const size_t people = column_of(header, "occupancy");
    const size_t when = column_of(header, "datetime");
    if (people == header.size() || when == header.size()) {
        error = people == header.size() ? "no occupancy column" : "no datetime column";
        return false;
    }
    size_t row = 1;
    while (std::getline(in, line)) {
        ++row;
        std::vector<std::string> fields = fields_of(line);
        OccupancyRow r{0, 0};
        char* end = nullptr;
        if (people < fields.size()) {
            r.people = strtod(fields[people].c_str(), &end);
        }
        if (people >= fields.size() || end == fields[people].c_str()) {
            error = "row " + std::to_string(row) + " has no occupancy";
            return false;
        }
        if (when >= fields.size() || !parse_datetime(fields[when], r.time)) {
            error = "row " + std::to_string(row) + " has no datetime";
            return false;
        }
        rows.push_back(r);
    }
    return true;
}

OccupancyJoin join_occupancy(const std::vector<ReplayStep>& steps, double first_time,
                             const std::vector<OccupancyRow>& rows) {
    OccupancyJoin join;
    join.people.assign(steps.size(), NAN);
    if (steps.empty() || rows.empty()) {
        join.unmatched_steps = steps.size();
        join.unused_rows = rows.size();
        return join;
    }
    join.zone_s = std::round((rows.front().time - first_time) / 900) * 900;
    size_t next = 0;
    size_t used = 0;
    for (size_t i = 0; i < steps.size(); ++i) {
        const double t = first_time + steps[i].offset + join.zone_s;
        while (next < rows.size() && rows[next].time < t - occupancy_join_tolerance_s) {
            ++next;
        }
        if (next < rows.size() && rows[next].time <= t + occupancy_join_tolerance_s) {
            join.people[i] = rows[next].people;
            ++next;
            ++used;
        } else {
            ++join.unmatched_steps;
        }
    }
    join.unused_rows = rows.size() - used;
    return join;
}
