// The page's own files (fleet/page/web), built into the program so that it serves exactly
// the page it was built with.
#pragma once

#include <cstddef>

namespace fleet_page {

struct WebAsset {
    const char* data;
    size_t size;
};

// The asset of that file name (e.g. "app.js"), or nullptr.
const WebAsset* find_web_asset(const char* name);

}  // namespace fleet_page
