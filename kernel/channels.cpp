// Channels: FIFOs of words from any task or handler to one consumer task.
// A channel is a ring whose items run from `first` to `end`, two counts
// that only grow (mod 2^32, which the ring's power-of-two size divides),
// and its consumer is either ready (reader is 1 + its task record) or not
// (reader 0). Senders mask interrupts, so they take effect one at a time.
// The consumer alone moves `first`, and a sender writes no slot between
// `first` and `end`, so a receive that finds an item needs no mask. A
// receive that finds the ring empty checks again with interrupts masked
// and, in that same critical section, clears the reader: any send after
// it, from whatever handler at whatever instruction, activates the
// consumer anew. A burst of sends before the consumer runs costs one
// activation.
#include "kernel_private.h"

using namespace onestack;

namespace {

constexpr char NOT_SET_UP[] =
    ONESTACK_RULE("SendChannel", "the channel was not defined with ONESTACK_CHANNEL");
constexpr char NOT_CONSUMER[] = ONESTACK_RULE(
    "ReceiveChannel", "the caller is not the consumer the channel activated, or has found it empty already");

// Keeps the compiler from moving a memory access across it: what a handler
// may change is read afresh after it, and written before it.
[[gnu::always_inline]] inline void CompilerBarrier() { __asm__ volatile("" : : : "memory"); }

// Precondition: masked by `mask`, the channel full or its consumer refused.
[[gnu::cold, gnu::noinline]] int32_t Drop(Channel *c, port::InterruptMask mask) {
    if (c->drops != UINT32_MAX) ++c->drops;
    port::RestoreInterrupts(mask);
    return 0;
}

// The checks of a send that must activate the consumer, as ActivateTask's
// from a task or a handler, and the first use of a channel, which joins it
// to those that StartOS empties. Masked.
void CheckActivation(Channel *c, int32_t handler) {
    if (handler >= port::FIRST_MASKABLE_HANDLER) {
        // In a run the state is odd: a task runs, or has ended and not yet returned.
        if ((run_state & 1) == 0) {
            StopKernel(ONESTACK_RULE("SendChannel",
                                     "called from an interrupt handler outside a run or while stopping"));
        }
    } else if (!(run_state > handler)) { // in the thread outside a task, or in NMI or HardFault
        port::StopCallOutsideHandler(
            "SendChannel",
            ONESTACK_RULE("SendChannel", "called from NMI or HardFault, which no mask holds off"));
    }
    if (c->next_used == nullptr) {
        // One test of all the fields ONESTACK_CHANNEL sets: a ring of a
        // power-of-two size, a capacity within it, a consumer.
        const uint32_t mask = c->size_mask;
        const uint32_t faults = static_cast<uint32_t>(c->items == nullptr) |
                                static_cast<uint32_t>(c->consumer == nullptr) |
                                static_cast<uint32_t>(c->capacity - 1 > mask) | (mask & (mask + 1));
        if (faults != 0) {
            StopKernel(NOT_SET_UP);
        }
        // The last channel of the list names itself, so that null still
        // means "never used".
        c->next_used = kernel_variables.used_channels != nullptr ? kernel_variables.used_channels : c;
        kernel_variables.used_channels = c;
    }
}

// Precondition: masked by `mask`, the ring not full.
[[gnu::always_inline]] inline int32_t Append(Channel *c, uint32_t end, uintptr_t item,
                                             port::InterruptMask mask) {
    c->items[end & c->size_mask] = item;
    c->end = end + 1;
    port::RestoreInterrupts(mask);
    return 1;
}

// A send to an empty ring: with the consumer ready the item is simply
// stored; else the consumer is activated with the channel as its word,
// from a task exactly as ActivateTask would, and runs before the send
// returns if it outranks the caller.
[[gnu::noinline]] int32_t SendToEmpty(Channel *c, uint32_t end, uintptr_t item, port::InterruptMask mask) {
    if (c->reader != 0) {
        return Append(c, end, item, mask);
    }
    const int32_t handler = port::HandlerNumber();
    CheckActivation(c, handler);
    if (free_task_head == NO_TASK) {
        CountRefusal();
        return Drop(c, mask);
    }
    const TaskId caller = ready_head;
    const int32_t priority = c->priority;
    const char *const name = c->name;
    ONESTACK_CHECK_ACTIVATION(priority, name);
    const TaskId i = NewTask(c->consumer, priority, name, reinterpret_cast<uintptr_t>(c));
    ONESTACK_TRACE_ACTIVATION(handler != 0 ? TRACE_ACTIVATED_BY_HANDLER : TRACE_ACTIVATED, i, priority, name);
    TaskAt(i).top_hold = CONSUMING;
    c->reader = i + 1;
    c->items[end & c->size_mask] = item;
    c->end = end + 1;
    LinkActivated(i, priority, handler);
    port::RestoreInterrupts(mask);
    if (handler == 0 && ready_head != caller) {
        StepAsideFor(caller);
    }
    return 1;
}

[[gnu::always_inline]] inline int32_t Take(Channel *c, uint32_t first, uintptr_t *item) {
    *item = c->items[first & c->size_mask];
    // The slot goes back to the senders only once it has been read.
    CompilerBarrier();
    c->first = first + 1;
    return 1;
}

// The consumer found the ring empty: unless a handler's send has come
// since, it holds the channel no longer. Its holds, if it has any, lie
// above CONSUMING, at the bottom of its stack.
[[gnu::noinline]] int32_t FindEmpty(Channel *c, uint32_t first, uintptr_t *item) {
    port::InterruptWindow();
    const port::InterruptMask mask = port::MaskInterrupts();
    if (c->end != first) {
        port::RestoreInterrupts(mask);
        return Take(c, first, item);
    }
    TaskRecord &task = TaskAt(ready_head);
    c->reader = 0;
    if (task.top_hold == CONSUMING) {
        task.top_hold = NO_RECORD;
    } else {
        int32_t h = task.top_hold;
        while (resource_table[h].below != CONSUMING) h = resource_table[h].below;
        resource_table[h].below = NO_RECORD;
    }
    port::RestoreInterrupts(mask);
    return 0;
}

// A receive that finds the ring empty, or a misuse.
[[gnu::noinline]] int32_t ReceiveOrStop(Channel *c, uint32_t first, uintptr_t *item) {
    if (!IsCallerRunning()) {
        StopCaller("ReceiveChannel");
    }
    if (c->reader != ready_head + 1) {
        StopKernel(NOT_CONSUMER);
    }
    return FindEmpty(c, first, item);
}

} // namespace

void onestack::ResetChannels() {
    for (Channel *c = kernel_variables.used_channels; c != nullptr;
         c = c->next_used == c ? nullptr : c->next_used) {
        c->first = 0;
        c->end = 0;
        c->drops = 0;
        c->reader = 0;
    }
}

extern "C" {

int32_t SendChannel(Channel *channel, uintptr_t item) {
    const port::InterruptMask mask = port::MaskInterrupts();
    const uint32_t end = channel->end;
    const uint32_t held = end - channel->first;
    if (held == 0) {
        return SendToEmpty(channel, end, item, mask);
    }
    if (held >= channel->capacity) {
        return Drop(channel, mask);
    }
    return Append(channel, end, item, mask);
}

int32_t ReceiveChannel(Channel *channel, uintptr_t *item) {
    const uint32_t first = channel->first;
    if (!IsCallerRunning() || channel->reader != ready_head + 1 || first == channel->end) {
        return ReceiveOrStop(channel, first, item);
    }
    // The item in the slot was written before the send's `end`, read above.
    CompilerBarrier();
    return Take(channel, first, item);
}

uint32_t ChannelDrops(const Channel *channel) { return channel->drops; }

} // extern "C"
