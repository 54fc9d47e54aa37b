// vorlask-evaluate's pieces: the occupancy joined to frames by time, the
// not-people list, and the least-squares line of the calibration.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>

#include "evaluate_options.h"
#include "occupancy_labels.h"
#include "window_figures.h"

namespace {

std::string write_temp(const std::string& text) {
    char path[] = "/tmp/evaluate_test.XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    FILE* f = fdopen(fd, "w");
    fputs(text.c_str(), f);
    fclose(f);
    return path;
}

// 2022-10-18 08:53:42.597864 UTC, the first frame of the steps below.
constexpr double first_utc = 1666083222.597864;

std::vector<ReplayStep> steps_at(const std::vector<double>& offsets) {
    std::vector<ReplayStep> steps;
    for (double o : offsets) {
        ReplayStep s{};
        s.offset = o;
        steps.push_back(s);
    }
    return steps;
}

}  // namespace

TEST(OccupancyJoin, RowsMeetTheirFramesByTime) {
    // Frames at 0, 1, 2, 3, 4 s; each frame's row says people = 10 + its number.
    const std::vector<ReplayStep> steps = steps_at({0, 1, 2, 3, 4});
    struct Case {
        const char* what;
        double zone_s;
        std::vector<int> rows;  // frame numbers with a row (-1: a row at no frame's time)
        std::vector<double> people;
        size_t unmatched, unused;
    };
    const Case cases[] = {
        {"every row, October", 7200, {0, 1, 2, 3, 4}, {10, 11, 12, 13, 14}, 0, 0},
        {"every row, November", 3600, {0, 1, 2, 3, 4}, {10, 11, 12, 13, 14}, 0, 0},
        {"a row missing", 7200, {0, 1, 3, 4}, {10, 11, NAN, 13, 14}, 1, 0},
        {"the first row missing", 7200, {1, 2, 3, 4}, {NAN, 11, 12, 13, 14}, 1, 0},
        {"a row too many", 7200, {0, 1, -1, 2, 3, 4}, {10, 11, 12, 13, 14}, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<OccupancyRow> rows;
        for (int frame : c.rows) {
            const double at = frame < 0 ? 1.5 : frame;
            rows.push_back({first_utc + c.zone_s + at, 10.0 + frame});
        }
        const OccupancyJoin join = join_occupancy(steps, first_utc, rows);
        EXPECT_EQ(join.zone_s, c.zone_s);
        EXPECT_EQ(join.unmatched_steps, c.unmatched);
        EXPECT_EQ(join.unused_rows, c.unused);
        ASSERT_EQ(join.people.size(), c.people.size());
        for (size_t i = 0; i < c.people.size(); ++i) {
            if (std::isnan(c.people[i])) {
                EXPECT_TRUE(std::isnan(join.people[i])) << "frame " << i;
            } else {
                EXPECT_EQ(join.people[i], c.people[i]) << "frame " << i;
            }
        }
    }
}

TEST(OccupancyJoin, ReadsLocalTimesAndTheColumns) {
    const std::string path = write_temp(
        "datetime;src;occupancy\r\n"
        "2022-10-18 10:53:42.597864;a;4.0\r\n"
        "2022-10-18 10:53:43.5;b;5\r\n");
    std::vector<OccupancyRow> rows;
    bool found = false;
    std::string error;
    ASSERT_TRUE(read_occupancy(path, rows, found, error)) << error;
    EXPECT_TRUE(found);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_NEAR(rows[0].time, first_utc + 7200, 1e-5);
    EXPECT_EQ(rows[0].people, 4);
    EXPECT_NEAR(rows[1].time - rows[0].time, 0.902136, 1e-5);
    remove(path.c_str());

    const std::pair<const char*, const char*> bad[] = {
        {"occupancy\n3\n", "no datetime column"},
        {"datetime;occupancy\n2022-10-18 10:53;3\n", "row 2 has no datetime"},
        {"datetime;occupancy\n2022-10-18 10:53:42;none\n", "row 2 has no occupancy"},
    };
    for (const auto& [text, why] : bad) {
        const std::string p = write_temp(text);
        std::vector<OccupancyRow> r;
        EXPECT_FALSE(read_occupancy(p, r, found, error)) << text;
        EXPECT_EQ(error, why);
        remove(p.c_str());
    }
}

TEST(NotPeopleList, OneAddressALine) {
    const std::string good =
        write_temp("# the lab's PCs\n\nDC:FB:48:68:be:e4\r\n 40:ec:99:f9:34:a6\n");
    std::vector<Mac> macs;
    std::string error;
    ASSERT_TRUE(read_address_list(good, macs, error)) << error;
    ASSERT_EQ(macs.size(), 2u);
    EXPECT_EQ(macs[0], (Mac{0xdc, 0xfb, 0x48, 0x68, 0xbe, 0xe4}));
    EXPECT_EQ(macs[1], (Mac{0x40, 0xec, 0x99, 0xf9, 0x34, 0xa6}));
    remove(good.c_str());

    const std::string bad = write_temp("dc:fb:48:68:be:e4\ndc:fb:48:68:be\n");
    macs.clear();
    EXPECT_FALSE(read_address_list(bad, macs, error));
    EXPECT_EQ(error, "line 2 is not an address: dc:fb:48:68:be");
    EXPECT_TRUE(macs.empty());
    remove(bad.c_str());
}

TEST(Calibration, LeastSquaresLineAndLeaveOneDayOut) {
    // people = 0.5 x devices + 1 on two days, one window off by 1 on day 0.
    std::vector<DayWindows> days(2);
    days[0].x = {2, 4, 6};
    days[0].people = {2, 3, 5};
    days[1].x = {8, 10};
    days[1].people = {5, 6};
    const Line all = fit_line(days);
    ASSERT_TRUE(all.fitted);
    // Sums over the five windows: x 30, y 21, xx 220, xy 146.
    EXPECT_NEAR(all.slope, (5 * 146.0 - 30 * 21) / (5 * 220.0 - 30 * 30), 1e-12);
    EXPECT_NEAR(all.intercept, (21 - all.slope * 30) / 5, 1e-12);
    const Line without_day0 = fit_line(days, 0);
    ASSERT_TRUE(without_day0.fitted);
    EXPECT_NEAR(without_day0.slope, 0.5, 1e-12);
    EXPECT_NEAR(without_day0.intercept, 1, 1e-12);

    const Figures f = figures_of(days, true);
    // Day 0 through day 1's line: errors 0, 0, 1.
    EXPECT_NEAR(f.day_mae[0], 1.0 / 3, 1e-12);
    EXPECT_NEAR(f.day_r[1], 1, 1e-12);
    // One window of constant x leaves the slope open: no line, no error.
    std::vector<DayWindows> flat(2);
    flat[0].x = {3};
    flat[0].people = {1};
    flat[1].x = {3, 3};
    flat[1].people = {1, 2};
    EXPECT_FALSE(fit_line(flat).fitted);
    EXPECT_TRUE(std::isnan(figures_of(flat, true).mae));
}
