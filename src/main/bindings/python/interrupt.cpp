#include "interrupt.h"

namespace py = pybind11;

void interrupt_check() {
    if (PyErr_CheckSignals() != 0) {
        throw py::error_already_set();
    }
}

InterruptPoll::InterruptPoll(bool lock_released) noexcept
    : poll_{&InterruptPoll::ask, this, 0, nullptr, nullptr}, lock_released_(lock_released),
      next_(std::chrono::steady_clock::now() + kInterval) {}

delta_sink_status InterruptPoll::ask(void *self) noexcept {
    auto *poll = static_cast<InterruptPoll *>(self);
    int raised;
    if (!poll->lock_released_) {
        raised = PyErr_CheckSignals();
    } else {
        const auto now = std::chrono::steady_clock::now();
        if (now < poll->next_) {
            return DELTA_SINK_CONTINUE;
        }
        // The handlers run in this thread's own state, where the exception
        // they raise waits until the call returns with the lock held.
        const PyGILState_STATE state = PyGILState_Ensure();
        raised = PyErr_CheckSignals();
        PyGILState_Release(state);
        poll->next_ = std::chrono::steady_clock::now() + kInterval;
    }
    return raised != 0 ? DELTA_SINK_STOP : DELTA_SINK_CONTINUE;
}

void InterruptPoll::raise_if_stopped(buf *result) const {
    if (poll_.stopped == 0) {
        return;
    }
    buf_free(result);
    throw py::error_already_set();
}
