// Simulated interrupts on the host: a handler runs where the test calls
// for it, and its return does what the board's interrupt exit does.
#include "kernel_private.h"

using namespace onestack;

int8_t onestack::port::simulated_handler = 0;

void (*onestack::port::window_handler)() = nullptr;

// Once: the handler is for the next window only.
void onestack::port::RunWindowHandler() {
    void (*const handler)() = window_handler;
    window_handler = nullptr;
    SimulateInterrupt(handler);
}

void onestack::port::StopCallOutsideHandler(const char *operation, const char *) { StopCaller(operation); }

// Nested simulations run as nested handlers: only the outermost one's
// return, when the thread would continue, runs the pending dispatch, as
// PendSV does on the board.
extern "C" void SimulateInterrupt(InterruptHandler handler) {
    if (handler == nullptr) {
        return StopKernel(ONESTACK_RULE("SimulateInterrupt", "the handler is null"));
    }
    const int8_t interrupted = port::simulated_handler;
    port::simulated_handler = port::SIMULATED_HANDLER;
    handler();
    port::simulated_handler = interrupted;
    if (interrupted == 0 && interrupted_head != NO_DISPATCH) {
        const TaskId awaited = interrupted_head;
        interrupted_head = NO_DISPATCH;
        DispatchAtInterruptExit(awaited);
    }
}
