// The scan document reader as json-c reads the same document in strict mode
// (JSON_TOKENER_STRICT with UTF-8 checked), with the same checks of every
// field: the fuzz target's second opinion on what the collector's reader
// (fleet/scan_part.h) takes and refuses, and on what it reads.
//
// Where the two may disagree, json-c taking a payload the collector refuses:
// its strict mode still takes single-quoted strings, NaN and Infinity, a
// number ending in its point ("1."), control characters in strings, unpaired
// surrogate escapes and numbers beyond 64 bits or a double (it saturates
// them); and it keeps the last of duplicate keys, where the collector
// refuses a document with a key it reads twice in one object.
// strict_json_difference() says whether a payload holds any of these.
#pragma once

#include <cstddef>
#include <string>

#include "scan_part.h"

namespace fleet_fuzz {

bool reference_parse(const char* payload, size_t size, fleet::ScanPart& out, std::string& error);

// Why json-c may take `payload` where the collector's reader refused it with
// `error` (nullptr: no known reason): the reader named the kind of text
// (its error says so) and the payload holds such text.
const char* strict_json_difference(const char* payload, size_t size, const std::string& error);

}  // namespace fleet_fuzz
