#include "occupancy_labels.h"

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
    return fields;
}

}  // namespace

bool read_occupancy(const std::string& path, std::vector<double>& occupancy, bool& found,
                    std::string& error) {
    std::ifstream in(path);
    found = static_cast<bool>(in);
    if (!found) {
        return true;
    }
    std::string line;
    std::getline(in, line);
    std::vector<std::string> header = fields_of(line);
    size_t column = header.size();
    for (size_t i = 0; i < header.size(); ++i) {
        if (header[i] == "occupancy" || header[i] == "occupancy\r") {
            column = i;
        }
    }
    if (column == header.size()) {
        error = "no occupancy column";
        return false;
    }
    size_t row = 1;
    while (std::getline(in, line)) {
        ++row;
        std::vector<std::string> fields = fields_of(line);
        char* end = nullptr;
        double v = column < fields.size() ? strtod(fields[column].c_str(), &end) : 0;
        if (column >= fields.size() || end == fields[column].c_str()) {
            error = "row " + std::to_string(row) + " has no occupancy";
            return false;
        }
        occupancy.push_back(v);
    }
    return true;
}
