#include "mqtt/client_identity.h"

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

std::string first_line(const std::string& path) {
    std::string line;
    FILE* file = fopen(path.c_str(), "re");
    if (file == nullptr) {
        return line;
    }
    char buffer[256];
    if (fgets(buffer, sizeof buffer, file) != nullptr) {
        line = buffer;
        line.erase(std::min(line.find('\n'), line.size()));
    }
    fclose(file);
    return line;
}

std::string first_ethernet_address(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return "";
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.' && strcmp(e->d_name, "lo") != 0) {
            names.emplace_back(e->d_name);
        }
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string base = dir;
        base.append("/").append(name).append("/");
        std::string address = first_line(base + "address");
        if (first_line(base + "type") != "1" || address.size() != 17 ||
            address == "00:00:00:00:00:00") {
            continue;
        }
        address.erase(std::remove(address.begin(), address.end(), ':'), address.end());
        return address;
    }
    return "";
}

}  // namespace

std::string default_client_id(const std::string& host_name, const IdentitySources& sources) {
    std::string id = first_line(sources.machine_id_file);
    if (id.size() < 12 || id.find_first_not_of("0123456789abcdef") != std::string::npos) {
        id = first_ethernet_address(sources.net_class_dir);
    } else {
        id.resize(12);
    }
    if (id.empty() || host_name.empty()) {
        return "";
    }
    return host_name + "-" + id;
}
