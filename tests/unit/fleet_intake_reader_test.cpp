// The intake's reader thread: every message handed over comes back on the
// loop, in order, scans read (or refused) and statuses untouched; it says
// when it is full and when it has room again, and stops on the loop.
#include <gtest/gtest.h>
#include <uv.h>

#include <string>
#include <vector>

#include "fleet_test_doc.h"
#include "intake_reader.h"

using namespace fleet;
using namespace fleet_test;

TEST(FleetIntakeReader, HandsBackEveryMessageInOrderAndSaysWhenFull) {
    uv_loop_t loop;
    ASSERT_EQ(uv_loop_init(&loop), 0);
    IntakeReader reader;
    std::vector<std::string> back;
    bool stopped = false;
    const size_t n = IntakeReader::max_pending + 10;
    // Stopped from a timer once all came back: stopped from within the last delivery, the
    // reader would rightly not say it has room, whichever batch that delivery came in.
    struct Stop {
        IntakeReader* reader;
        bool* stopped;
    } stop{&reader, &stopped};
    uv_timer_t stop_timer;
    ASSERT_EQ(uv_timer_init(&loop, &stop_timer), 0);
    stop_timer.data = &stop;
    ASSERT_TRUE(reader.start(&loop, [&](IntakeMessage& m) {
        std::string what = m.ap + (m.scan ? (m.read ? " " + std::to_string(m.part.seq) : " refused")
                                          : " " + std::string(m.payload(), m.payload_size()));
        back.push_back(what);
        if (back.size() == n) {
            uv_timer_start(
                &stop_timer,
                [](uv_timer_t* t) {
                    auto* stop = static_cast<Stop*>(t->data);
                    stop->reader->stop([t, stop] {
                        *stop->stopped = true;
                        uv_close(reinterpret_cast<uv_handle_t*>(t), nullptr);
                    });
                },
                0, 0);
        }
    }));
    int rooms = 0;
    reader.on_room = [&] { rooms++; };
    std::vector<std::string> expected;
    for (size_t i = 0; i < n; ++i) {
        std::unique_ptr<IntakeMessage> m = reader.message();
        m->ap = "ap" + std::to_string(i % 3);
        m->scan = i % 3 != 2;
        if (i % 3 == 0) {
            const std::string text = doc(m->ap, i + 1, {{A, -50, 1}});
            m->set_payload(text.data(), text.size());
            expected.push_back(m->ap + " " + std::to_string(i + 1));
        } else if (i % 3 == 1) {
            m->set_payload("{\"ap\":\"ap1\",\"seq\":1,}", 21);
            expected.push_back(m->ap + " refused");
        } else {
            const std::string status = i % 2 ? "online" : "offline";
            m->set_payload(status.data(), status.size());
            expected.push_back(m->ap + " " + status);
        }
        reader.hand_over(std::move(m));
        EXPECT_EQ(reader.full(), i + 1 >= IntakeReader::max_pending) << i;
    }
    reader.flush();
    EXPECT_EQ(uv_run(&loop, UV_RUN_DEFAULT), 0);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(back, expected);
    EXPECT_FALSE(reader.full());
    EXPECT_EQ(rooms, 1);
    EXPECT_EQ(uv_loop_close(&loop), 0);
}
