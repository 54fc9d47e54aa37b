// The history's side of the web page's benchmark, on the fleet of fleet_page_fixture.h:
//   history  hearings per second through the recorder into SQLite beside a plain SQLite
//            insert loop of the same rows in one transaction; the longest time the intake
//            spent handing a scan to the recorder while it wrote, beside the same hand-over
//            into a plain vector
//   size     database bytes per access point per day (a day of minutes, 100 stations an hour)
//            beside the same rows as CSV text
// Each prints its account and "result KEY VALUE" lines on standard output, with its
// scratch files in DIR; 0 once done.
#pragma once

#include <string>

namespace page_bench {

int bench_history(const std::string& dir);
int bench_size(const std::string& dir);

}  // namespace page_bench
