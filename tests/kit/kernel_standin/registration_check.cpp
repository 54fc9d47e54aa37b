#include "registration_check.h"

#include <linux/netlink.h>

#include <cstdio>
#include <cstring>

namespace standin {

const uint8_t expected_registration[registration_size] = {
    32, 0, 0,    0,    0x00, 0x04, 0x0B, 0x03, 1,   0,   0,   0,   0,   0,   0,   0,
    15, 0, 0xD2, 0x04, 'H',  'e',  'l',  'l',  'o', 'K', 'e', 'r', 'n', 'e', 'l', 0};

namespace {

constexpr uint16_t registration_type = VORLASK_MSG_REGISTER;
constexpr uint16_t registration_flags = VORLASK_REGISTER_FLAGS;
constexpr uint16_t registration_attr_len = 15;
constexpr uint16_t registration_attr_type = VORLASK_ATTR_HELLO;
constexpr char greeting[] = VORLASK_HELLO;
constexpr size_t greeting_len = sizeof greeting - 1;

template <typename... Args>
std::string format(const char* pattern, Args... args) {
    char text[160];
    snprintf(text, sizeof text, pattern, args...);
    return text;
}

// The attribute data as readable text, non-printing bytes as \xNN.
std::string quoted(const uint8_t* data, size_t length) {
    std::string text = "\"";
    for (size_t i = 0; i < length; ++i) {
        if (data[i] >= 0x20 && data[i] < 0x7F && data[i] != '"' && data[i] != '\\') {
            text += static_cast<char>(data[i]);
        } else {
            text += format("\\x%02X", data[i]);
        }
    }
    return text + "\"";
}

}  // namespace

std::string registration_problem(const uint8_t* data, size_t length) {
    if (length != registration_size) {
        return format("length %zu, expected %zu", length, registration_size);
    }
    struct nlmsghdr header;
    memcpy(&header, data, sizeof header);
    if (header.nlmsg_len != registration_size) {
        return format("header length %u, expected %zu", header.nlmsg_len, registration_size);
    }
    if (header.nlmsg_type != registration_type) {
        return format("type %u, expected %u", header.nlmsg_type, registration_type);
    }
    if (header.nlmsg_flags != registration_flags) {
        return format("flags 0x%04X, expected 0x%04X", header.nlmsg_flags, registration_flags);
    }
    if (header.nlmsg_seq != VORLASK_REGISTER_SEQ) {
        return format("sequence %u, expected 1", header.nlmsg_seq);
    }
    if (header.nlmsg_pid != 0) {
        return format("header port id %u, expected 0", header.nlmsg_pid);
    }
    uint16_t attr_len;
    uint16_t attr_type;
    memcpy(&attr_len, data + 16, 2);
    memcpy(&attr_type, data + 18, 2);
    if (attr_len != registration_attr_len) {
        return format("attribute length %u, expected %u", attr_len, registration_attr_len);
    }
    if (attr_type != registration_attr_type) {
        return format("attribute type %u, expected %u", attr_type, registration_attr_type);
    }
    if (memcmp(data + 20, greeting, greeting_len) != 0) {
        return "attribute data " + quoted(data + 20, greeting_len) + ", expected \"" + greeting +
               "\"";
    }
    if (data[31] != 0) {
        return format("padding byte 0x%02X, expected 0x00", data[31]);
    }
    return "";
}

}  // namespace standin
