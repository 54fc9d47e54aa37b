// The one message the daemon sends to the kernel module: its registration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "uapi/vorlask.h"

namespace standin {

constexpr size_t registration_size = VORLASK_REGISTER_LEN;

// The registration byte for byte: header length 32, type 1024, flags 0x030B,
// sequence 1, port id 0, then attribute length 15, type 1234, "HelloKernel"
// without its terminator and one zero byte of padding.
extern const uint8_t expected_registration[registration_size];

// What is wrong with a received datagram as a registration, or an empty text
// when it is a valid one. The first wrong field is named, e.g.
// "length 28, expected 32" or "flags 0x0301, expected 0x030B".
std::string registration_problem(const uint8_t* data, size_t length);

}  // namespace standin
