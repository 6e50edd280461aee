// Ctrl-C during long calls. SIGINT only sets a flag; the interpreter raises
// KeyboardInterrupt when it next runs its signal handlers, which it does
// between bytecodes, so a call that stays in C for seconds must run them
// itself now and then and stop when one raised.
#ifndef CORVANTIS_BINDINGS_INTERRUPT_H
#define CORVANTIS_BINDINGS_INTERRUPT_H

#include <pybind11/pybind11.h>

#include <chrono>

#include "base/buf.h"
#include "delta/delta_ops.h"

// Runs the pending signal handlers; throws what one raised. Needs the lock.
void interrupt_check();

// The poll the core's long work asks (delta_ops.h). With the interpreter
// lock held it runs the handlers at every ask (a test of one flag when no
// signal came); with the lock released it takes the lock back for that at
// most every kInterval, so other threads keep the interpreter meanwhile.
class InterruptPoll {
  public:
    // Made, and later asked for the outcome, with the lock held.
    explicit InterruptPoll(bool lock_released) noexcept;
    InterruptPoll(const InterruptPoll &) = delete;
    InterruptPoll &operator=(const InterruptPoll &) = delete;

    delta_poll *get() noexcept { return &poll_; }

    // When a handler stopped the work: frees `result` (the core returns
    // null then, but a result finished at the last ask is dropped too) and
    // throws the handler's exception.
    void raise_if_stopped(buf *result) const;

  private:
    static constexpr std::chrono::milliseconds kInterval{50};
    static delta_sink_status ask(void *self) noexcept;

    delta_poll poll_;
    bool lock_released_;
    std::chrono::steady_clock::time_point next_;
};

#endif
