/* The interrupt path, once: the thread (a task of priority 1) raises IRQ0
 * by the one store of BOARD_STORE_WORD; the handler activates a task of
 * priority 2, which preempts the thread at the interrupt's exit.
 * latency.sh runs it under QEMU with every instruction logged and counts
 * the instructions from the handler's ActivateTask call to the entry's
 * first instruction, and from the entry's return to the interrupted
 * instruction. */
#include "board.h"
#include "onestack.h"

void LatencyEntry(void) {
    TerminateTask();
    __asm__ volatile(""); /* the entry returns itself, not through a tail call */
}

/* Then another interrupt's handler sends a word to an empty channel,
 * whose consumer runs at the exit: latency.sh counts from the send's call
 * to the instruction after the consumer's first receive. */
static uintptr_t received;
void LatencyConsumer(void);
ONESTACK_CHANNEL(latency_channel, 4, LatencyConsumer, 2, "consumer");
void LatencyConsumer(void) {
    uintptr_t item;
    int32_t got = ReceiveChannel(&latency_channel, &item);
    __asm__ volatile(".global latency_received\n"
                     "latency_received:" ::
                         : "memory");
    while (got) {
        received = item;
        got = ReceiveChannel(&latency_channel, &item);
    }
    TerminateTask();
}

void IRQ0_Handler(void) { ActivateTask(LatencyEntry, 2, "entry"); }

void BOARD_IRQ_HANDLER(BOARD_RAISABLE_IRQ_1)(void) { SendChannel(&latency_channel, 42); }

/* The store that raises IRQ0 and, after it, the interrupted instruction. */
__attribute__((noinline)) static void RaiseIrq0(void) {
    __asm__ volatile(BOARD_STORE_WORD "\n"
                                      ".global latency_interrupted\n"
                                      "latency_interrupted:\n\t"
                                      "nop" ::"r"(BOARD_IRQ0_PEND_REGISTER),
                     "r"(1u)
                     : "memory");
}

static void Thread(void) {
    BoardEnableIrq(0);
    RaiseIrq0();
    /* The channel's first send, which joins it to those that StartOS
     * empties, comes from the thread: its consumer runs at once. */
    SendChannel(&latency_channel, 41);
    BoardEnableIrq(BOARD_RAISABLE_IRQ_1);
    BoardPendIrq(BOARD_RAISABLE_IRQ_1);
    TerminateTask();
}

int main(void) {
    StartOS(Thread, 1, "thread");
    return 0;
}
