// Interrupt ceilings: a hold that keeps a level of interrupt handlers, and
// every less urgent one, from running until its release. The port raises
// the mask and gives back what it found; the kernel keeps the holds of
// every context on one stack, since handlers nest and each releases before
// it returns, so that a release names the newest hold or is out of order.
//
// A task's outermost hold also takes the thread out of the scheduler's
// hands until its release: run_state turns HOLDING_INTERRUPTS, which every
// task operation refuses (the ready list's head may no longer be the
// holder). Where the mask holds off the interrupt exit too (PendSV under
// BASEPRI), the exit runs the tasks that handlers made ready at the
// release; elsewhere interrupted_head names the holder below NO_DISPATCH,
// so that a handler that is still let in links its tasks and pends no
// dispatch, and the release runs them as the exit would have.
//
// Linked only into programs that take interrupt ceilings: the rest of the
// kernel reaches none of this.
#include "kernel_private.h"

using namespace onestack;

InterruptHoldEntries onestack::interrupt_hold_entries;
const char onestack::HOLDING_INTERRUPTS_RULE[] = "the running task holds an interrupt ceiling";

namespace {

// Each hold writes its entry of interrupt_hold_entries once it is counted,
// and a handler clears its own at the release: so an entry not held by a
// handler reads 0, and no handler takes another's old entry, or one that
// a stop left, for its own. A task's holds lie beneath every handler's,
// since each handler releases its own before it returns: its first is
// hold 0.
int8_t (&hold_context)[MAX_INTERRUPT_HOLDS] = interrupt_hold_entries.context;
uint8_t (&hold_own_level)[MAX_INTERRUPT_HOLDS] = interrupt_hold_entries.own_level;

// Keeps the compiler from moving a memory access across it: the count of
// holds changes before, or after, what a handler that comes between must
// not see.
[[gnu::always_inline]] inline void CompilerBarrier() { __asm__ volatile("" : : : "memory"); }

// A hold is its index, with what the port's mask was before it above.
constexpr uint32_t INDEX_BITS = 8;
constexpr InterruptHold HoldOf(uint32_t index, port::LevelMask found) { return index | found << INDEX_BITS; }

#define ACQUIRE "AcquireInterruptCeiling"
#define RELEASE "ReleaseInterruptCeiling"
constexpr char BAD_LEVEL[] = ONESTACK_RULE(ACQUIRE, "the level is 0 or below the lowest interrupt level");
constexpr char TOO_MANY[] = ONESTACK_RULE(ACQUIRE, "no free interrupt hold (8 are held)");
constexpr char BELOW_OWN[] =
    ONESTACK_RULE(ACQUIRE, "a handler may take only a level at or more urgent than its own");
constexpr char UNMASKABLE[] = ONESTACK_RULE(ACQUIRE, "called from NMI or HardFault, which no mask holds off");
constexpr char LEFT_BY_HANDLER[] =
    ONESTACK_RULE(ACQUIRE, "an interrupt handler returned holding an interrupt ceiling");
constexpr char OUT_OF_ORDER[] =
    ONESTACK_RULE(RELEASE, "the hold is not the newest interrupt ceiling held, or not the caller's");

// Precondition: `depth` holds exist and a hold may be added. Takes it:
// counted first, so that a handler that comes between takes the next. A
// task's hold has no level of its own to keep.
template <bool FROM_HANDLER>
[[gnu::always_inline]] inline InterruptHold Hold(uint32_t level, uint32_t depth, int32_t context,
                                                 uint32_t own) {
    kernel_variables.interrupt_holds = static_cast<uint8_t>(depth + 1);
    CompilerBarrier();
    if constexpr (FROM_HANDLER) hold_own_level[depth] = static_cast<uint8_t>(own);
    hold_context[depth] = static_cast<int8_t>(context);
    return HoldOf(depth, port::RaiseLevel(level, depth));
}

// Every hold but a task's first at a valid level: a handler's, a task's
// nested one, or a misuse. A handler's own level is the port's to tell
// before it holds anything; its later holds find it in its newest.
[[gnu::noinline]] InterruptHold HoldOtherwise(uint32_t level, uint32_t depth) {
    if (level - 1 >= port::LowestCeilingLevel()) {
        return StopKernel(BAD_LEVEL), 0;
    }
    const int32_t context = port::HandlerNumber();
    const bool in_task = (run_state == TASK_RUNNING || run_state == HOLDING_INTERRUPTS) && context == 0;
    if (!in_task && context < port::FIRST_MASKABLE_HANDLER) { // the thread outside a task, NMI or HardFault
        return port::StopCallOutsideHandler(ACQUIRE, UNMASKABLE), 0;
    }
    if (depth == MAX_INTERRUPT_HOLDS) {
        return StopKernel(TOO_MANY), 0;
    }
    if (in_task) {
        // A task's holds lie beneath every handler's: one above them, or
        // one before its first, was left by a handler that returned.
        if (run_state == TASK_RUNNING || hold_context[depth - 1] != 0) {
            return StopKernel(LEFT_BY_HANDLER), 0;
        }
        return Hold<false>(level, depth, 0, 0);
    }
    const bool holds_already = depth != 0 && hold_context[depth - 1] == context;
    const uint32_t own = holds_already ? hold_own_level[depth - 1] : port::HandlerLevel();
    if (level > own) {
        return StopKernel(BELOW_OWN), 0;
    }
    return Hold<true>(level, depth, context, own);
}

// The task's last hold has gone, and with it the mask: the tasks that
// handlers made ready meanwhile run now, those that outrank it first, as at
// an interrupt's exit. Where the mask held the exit off too, it has just
// run them.
[[gnu::noinline]] void GiveThreadBack() {
    const TaskId holder = HELD_BY_THREAD - interrupted_head;
    interrupted_head = NO_DISPATCH;
    // The head is read after that store: a handler that comes before it
    // only links its tasks, one after it runs them at its exit.
    CompilerBarrier();
    if (ready_head != holder) {
        DispatchAtInterruptExit(holder);
    }
}

} // namespace

extern "C" {

InterruptHold AcquireInterruptCeiling(uint32_t level) {
    const uint32_t depth = kernel_variables.interrupt_holds;
    if (!IsCallerRunning() || depth != 0 || level - 1 >= port::LowestCeilingLevel()) {
        return HoldOtherwise(level, depth);
    }
    // A task's first hold takes the thread from the scheduler. A handler
    // that comes before it runs its tasks at its exit, after which the head
    // is the caller again. Where the mask holds the exit off, it comes
    // first: a dispatch that ran once the hold was counted would run tasks
    // that find it.
    if constexpr (port::CEILINGS_HOLD_OFF_THE_EXIT) {
        const port::LevelMask found = port::RaiseLevel(level, 0);
        CompilerBarrier();
        kernel_variables.interrupt_holds = 1;
        CompilerBarrier();
        hold_context[0] = 0;
        run_state = HOLDING_INTERRUPTS;
        return HoldOf(0, found);
    }
    interrupted_head = HELD_BY_THREAD - ready_head;
    run_state = HOLDING_INTERRUPTS;
    return Hold<false>(level, 0, 0, 0);
}

void ReleaseInterruptCeiling(InterruptHold hold) {
    const uint32_t h = hold & ((1u << INDEX_BITS) - 1);
    const int32_t context = port::HandlerNumber();
    if (h + 1 != kernel_variables.interrupt_holds || hold_context[h] != context) {
        return StopKernel(OUT_OF_ORDER);
    }
    // Read, and the entry cleared, before the hold is given up: a handler
    // may take its place then.
    const port::LevelMask found = port::FoundBy(hold >> INDEX_BITS, h);
    hold_context[h] = 0;
    CompilerBarrier();
    kernel_variables.interrupt_holds = static_cast<uint8_t>(h);
    const bool tasks_last = h == 0 && context == 0;
    if (tasks_last) {
        run_state = TASK_RUNNING;
    }
    port::RestoreLevel(found);
    if (!port::CEILINGS_HOLD_OFF_THE_EXIT && tasks_last) {
        GiveThreadBack();
    }
}

} // extern "C"
