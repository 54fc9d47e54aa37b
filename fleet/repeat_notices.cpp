#include "repeat_notices.h"

#include <cstdio>

namespace fleet {

namespace {

// Texts remembered at most; beyond it (errno texts, many brokers) the oldest
// in order go, and may be said once more.
constexpr size_t max_texts = 64;

}  // namespace

RepeatNotices::RepeatNotices(Sink sink, uint64_t period_ms)
    : sink_(std::move(sink)), period_ms_(period_ms) {
    if (!sink_) {
        sink_ = [](const std::string& line) {
            fprintf(stderr, "vorlask-fleet: %s\n", line.c_str());
        };
    }
}

void RepeatNotices::say(const std::string& text, uint64_t now_ms) {
    auto it = repeats_.find(text);
    if (it != repeats_.end()) {
        it->second++;
        tick(now_ms);
        return;
    }
    if (repeats_.empty()) {
        period_start_ = now_ms;
    }
    if (repeats_.size() >= max_texts) {
        repeats_.erase(repeats_.begin());
    }
    repeats_.emplace(text, 0);
    sink_(text);
}

void RepeatNotices::tick(uint64_t now_ms) {
    if (now_ms - period_start_ >= period_ms_) {
        say_counts(now_ms);
    }
}

void RepeatNotices::say_counts(uint64_t now_ms) {
    uint64_t seconds = (now_ms - period_start_ + 500) / 1000;
    for (auto& [text, count] : repeats_) {
        if (count > 0) {
            sink_(text + " (" + std::to_string(count) + " more time" + (count == 1 ? "" : "s") +
                  " in " + std::to_string(seconds) + " s)");
            count = 0;
        }
    }
    period_start_ = now_ms;
}

void RepeatNotices::reset(uint64_t now_ms) {
    say_counts(now_ms);
    repeats_.clear();
}

}  // namespace fleet
