// The collector's view as the fleet view document. The view is copied into the page's snapshot
// (what /api/view serves from the HTTP threads) and the page's renderer, fleet_page::render_view,
// writes it; --once --json prints the same copy through the same renderer, so both are one text.
#pragma once

#include <cstdint>
#include <string>

#include "fleet_view.h"
#include "view_snapshot.h"

namespace fleet {

// The view as the page's threads read it.
fleet_page::ViewSnapshot snapshot_of(const FleetView& view, int64_t now);
// The fleet view document (compact JSON, no line break).
std::string view_document(const FleetView& view, int64_t now);

}  // namespace fleet
