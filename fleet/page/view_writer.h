// The view document's access points and stations written straight to text, byte for byte as
// json-c writes the same objects (plain, '/' left unescaped): a station costs its own bytes,
// not a tree of json-c objects built and let go, which at a million stations was most of the
// time /api/view took.
#pragma once

#include <string>

#include "view_snapshot.h"

namespace fleet_page {

// TEXT as a JSON string: quoted, with '"', '\\' and control characters escaped.
void write_json_string(std::string& out, const std::string& text);
void write_ap(std::string& out, const ApState& ap);
void write_station(std::string& out, const StationState& station);

}  // namespace fleet_page
