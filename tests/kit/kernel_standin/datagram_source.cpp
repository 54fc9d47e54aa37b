#include "datagram_source.h"

namespace standin {

bool ScriptSource::next(Datagram& datagram) {
    while (step_ < steps_.size()) {
        const ScriptStep& step = steps_[step_];
        const uint32_t count = step.raw ? 1 : step.repeat;
        if (sent_of_step_ >= count) {
            ++step_;
            sent_of_step_ = 0;
            continue;
        }
        ++sent_of_step_;
        datagram.at = step.offset;
        if (step.raw) {
            datagram.data = step.bytes.data();
            datagram.length = step.bytes.size();
        } else {
            encode_probe(step.probe, ++seq_, message_);
            datagram.data = message_;
            datagram.length = probe_message_size;
        }
        return true;
    }
    return false;
}

}  // namespace standin
