// Simulated interrupts on the host: a handler runs where the test calls
// for it, or, raised at a level that is held off, at the release that lets
// it in; its return does what the board's interrupt exit does.
#include <stdio.h>
#include <stdlib.h>

#include "kernel_private.h"

using namespace onestack;

void onestack::port::Write(int stream, const char *text) { fputs(text, stream == 1 ? stdout : stderr); }
void onestack::port::FlushOutput() { fflush(stdout); }
void onestack::port::Abort() { abort(); }

int8_t onestack::port::simulated_handler = 0;
uint32_t onestack::port::running_level = port::SIMULATED_LEVELS;
uint32_t onestack::port::held_off_from = port::SIMULATED_LEVELS;

void (*onestack::port::window_handler)() = nullptr;

namespace {

// Handlers raised while their level was held off, in the order raised.
struct Raised {
    uint32_t level;
    InterruptHandler handler;
};
constexpr uint32_t MAX_WAITING = 16;
Raised waiting[MAX_WAITING];
uint32_t waiting_count = 0;

constexpr char LEFT_HOLDING[] =
    ONESTACK_RULE("SimulateInterrupt", "the handler returned holding an interrupt ceiling");

bool IsLetIn(uint32_t level) { return level < port::running_level && level < port::held_off_from; }

// Nested simulations run as nested handlers: only the outermost one's
// return, when the thread would continue, runs the pending dispatch, as
// PendSV does on the board. A handler must give back every interrupt
// ceiling it took.
void RunHandler(InterruptHandler handler, uint32_t level);

// The most urgent waiting handler that may run now, the oldest of its level.
void RunWaiting() {
    for (;;) {
        uint32_t best = MAX_WAITING;
        for (uint32_t i = 0; i < waiting_count; ++i) {
            if (IsLetIn(waiting[i].level) &&
                (best == MAX_WAITING || waiting[i].level < waiting[best].level)) {
                best = i;
            }
        }
        if (best == MAX_WAITING) return;
        const Raised next = waiting[best];
        for (uint32_t i = best + 1; i < waiting_count; ++i) waiting[i - 1] = waiting[i];
        --waiting_count;
        RunHandler(next.handler, next.level);
    }
}

void RunHandler(InterruptHandler handler, uint32_t level) {
    const int8_t interrupted = port::simulated_handler;
    const uint32_t interrupted_level = port::running_level;
    const uint8_t holds = kernel_variables.interrupt_holds;
    port::simulated_handler = port::SIMULATED_HANDLER;
    port::running_level = level;
    handler();
    if (kernel_variables.interrupt_holds != holds) {
        return StopKernel(LEFT_HOLDING);
    }
    port::simulated_handler = interrupted;
    port::running_level = interrupted_level;
    RunWaiting();
    if (interrupted == 0 && interrupted_head > NO_DISPATCH) {
        const TaskId awaited = interrupted_head;
        interrupted_head = NO_DISPATCH;
        DispatchAtInterruptExit(awaited);
    }
}

} // namespace

// Once: the handler is for the next window only.
void onestack::port::RunWindowHandler() {
    void (*const handler)() = window_handler;
    window_handler = nullptr;
    SimulateInterrupt(handler);
}

void onestack::port::StopCallOutsideHandler(const char *operation, const char *) { StopCaller(operation); }

void onestack::port::RestoreLevel(LevelMask found) {
    held_off_from = found;
    RunWaiting();
}

void onestack::port::PrepareInterrupts() {
    held_off_from = SIMULATED_LEVELS;
    waiting_count = 0;
}

void onestack::port::StopInterrupts() {
    simulated_handler = 0;
    running_level = SIMULATED_LEVELS;
    held_off_from = SIMULATED_LEVELS;
    waiting_count = 0;
}

extern "C" void SimulateInterrupt(InterruptHandler handler) {
    if (handler == nullptr) {
        return StopKernel(ONESTACK_RULE("SimulateInterrupt", "the handler is null"));
    }
    RunHandler(handler, 0);
}

extern "C" void SimulateInterruptAt(uint32_t level, InterruptHandler handler) {
    if (handler == nullptr || level >= port::SIMULATED_LEVELS) {
        return StopKernel(ONESTACK_RULE("SimulateInterruptAt", "the handler is null or the level above 7"));
    }
    if (IsLetIn(level)) {
        return RunHandler(handler, level);
    }
    if (waiting_count == MAX_WAITING) {
        return StopKernel(ONESTACK_RULE("SimulateInterruptAt", "16 handlers wait already"));
    }
    waiting[waiting_count++] = Raised{level, handler};
}
