// The object id of a device in Home Assistant's discovery topics
// (`<discovery prefix>/device/<object id>/config`), which the daemon and the
// collector derive from their client ids.
#pragma once

#include <string>

namespace homeassistant {

// `kind` ("ap" or "site") and the client id (at most 64 bytes, the client-id
// rule) made a topic level of only [a-zA-Z0-9_-]: "vorlask_<kind>_" and the
// id with every byte but letters, digits and '-' written as '_' and two
// lowercase hex digits. The id can be read back from it, so two ids never
// share one.
std::string object_id(const char* kind, const std::string& client_id);

}  // namespace homeassistant
