#include "task_program.h"

#include <algorithm>
#include <iterator>
#include <sstream>

namespace harness {

Choose SeededChoices(uint64_t seed) {
    return [state = seed * 0x9E3779B97F4A7C15ull + 1](uint32_t n) mutable {
        // splitmix64
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<uint32_t>((z ^ (z >> 31)) % n);
    };
}

namespace {

struct Stop {
    Op op;
    Misuse misuse;
    const char *operation;
    const char *rule;
};
const Stop stops[] = {
    {Op::Activate, Misuse::AfterTerminate, "ActivateTask", "called after the task's TerminateTask"},
    {Op::Terminate, Misuse::AfterTerminate, "TerminateTask", "called after the task's TerminateTask"},
    {Op::Acquire, Misuse::AfterTerminate, "AcquireResource", "called after the task's TerminateTask"},
    {Op::Release, Misuse::AfterTerminate, "ReleaseResource", "called after the task's TerminateTask"},
    {Op::Terminate, Misuse::HoldsAtTerminate, "TerminateTask", "the task still holds a resource"},
    {Op::Release, Misuse::UnheldRelease, "ReleaseResource", "the running task holds no such resource"},
    {Op::Activate, Misuse::NoFreeRecord, "ActivateTask", "no free task record (16 tasks live)"},
};

// Calls of the task's own: a handler's activation is not one.
bool IsKernelCall(Op op) {
    return op == Op::Activate || op == Op::Acquire || op == Op::Release || op == Op::Terminate ||
           op == Op::StartTimer || op == Op::StopTimer || op == Op::Advance || op == Op::Query ||
           op == Op::Send;
}

bool IsSend(Op op) { return op == Op::Send || op == Op::SendInInterrupt || op == Op::SendInWindow; }

// A narrow range of priorities and ceilings, so that equal priorities and
// ceilings that equal a priority are common.
int32_t PickPriority(const Choose &choose) { return static_cast<int32_t>(choose(8)) - 1; }

bool IsInterrupt(Op op) { return op == Op::Interrupt || op == Op::InSameHandler; }

bool IsTimerStep(Op op) {
    return op == Op::StartTimer || op == Op::StopTimer || op == Op::Advance || op == Op::AdvanceInInterrupt;
}

// In a program that passes data, an activation carries a word now and then
// and may fail now and then.
void AddWord(const Choose &choose, bool data, Step &step) {
    if (!data) return;
    step.c = choose(2) == 0 ? 0 : 1 + static_cast<int32_t>(choose(999));
    step.d = choose(3) == 0 ? 1 : 0;
}

// One interrupt, at `level`, whose handler activates the next one to three
// of `pending`.
void AddInterrupt(const Choose &choose, bool data, std::vector<Step> &steps,
                  const std::vector<int32_t> &pending, size_t &next, int32_t level = 0) {
    const size_t first = steps.size();
    Op op = Op::Interrupt;
    for (uint32_t n = 1 + choose(3); n > 0 && next < pending.size(); --n, op = Op::InSameHandler) {
        steps.push_back({op, pending[next++], PickPriority(choose)});
        AddWord(choose, data, steps.back());
    }
    if (steps.size() > first) steps[first].e = level;
}

// A hold of an interrupt ceiling, with marks, interrupts at random levels
// and, once, a nested hold inside it.
void AddInterruptHold(const Choose &choose, bool data, std::vector<Step> &steps,
                      const std::vector<int32_t> &pending, size_t &next, int32_t &mark, bool nested = false) {
    steps.push_back({Op::HoldInterrupts, 1 + static_cast<int32_t>(choose(7)), 0});
    for (uint32_t n = choose(4); n > 0; --n) {
        const uint32_t kind = choose(nested ? 2 : 3);
        if (kind == 0) {
            steps.push_back({Op::Mark, mark++, 0});
        } else if (kind == 1) {
            AddInterrupt(choose, data, steps, pending, next, static_cast<int32_t>(choose(8)));
        } else {
            AddInterruptHold(choose, data, steps, pending, next, mark, true);
        }
    }
    steps.push_back({Op::ReleaseInterrupts, 0, 0});
}

// A data step of a body, or of channel `after`'s consumer: a query, or a
// send to a channel after `after`; a body's handler may also send in the
// window of the next empty receive. Items are numbered in order.
void AddDataStep(const Choose &choose, std::vector<Step> &steps, int32_t channels, int32_t after,
                 int32_t &item) {
    const int32_t first = after + 1;
    const uint32_t kind = choose(after < 0 ? 5 : 3);
    if (kind == 0 || first >= channels) {
        steps.push_back({Op::Query, 0, 0});
        return;
    }
    const Op ops[] = {Op::Query, Op::Send, Op::SendInInterrupt, Op::Send, Op::SendInWindow};
    steps.push_back(
        {ops[kind], first + static_cast<int32_t>(choose(static_cast<uint32_t>(channels - first))), item++});
}

// One of the timer steps a body makes before its Terminate: start a timer
// whose task is a leaf, stop one it started, or advance time, itself or
// from an interrupt. Delays and periods are short, so timers come due
// often, miss for want of records now and then, and equal due times occur.
void AddTimerStep(const Choose &choose, std::vector<Step> &steps, int32_t &timers_started,
                  std::vector<int32_t> &own_timers) {
    switch (choose(4)) {
    case 0:
        if (timers_started < MAX_PROGRAM_TIMERS) {
            own_timers.push_back(timers_started);
            const auto period = choose(2) == 0 ? 0 : 1 + static_cast<int32_t>(choose(4));
            steps.push_back({Op::StartTimer, timers_started++, PickPriority(choose),
                             1 + static_cast<int32_t>(choose(5)), period, static_cast<int32_t>(choose(3))});
        }
        return;
    case 1:
        if (!own_timers.empty())
            steps.push_back({Op::StopTimer, own_timers[choose(static_cast<uint32_t>(own_timers.size()))], 0});
        return;
    case 2:
        steps.push_back({Op::Advance, 1 + static_cast<int32_t>(choose(6)), 0});
        return;
    default:
        steps.push_back({Op::AdvanceInInterrupt, 1 + static_cast<int32_t>(choose(6)), 0});
        return;
    }
}

// Ends a body's steps in a misuse: a kernel call after its Terminate, or,
// in place of its Terminate, one with a hold left open or the release of a
// pair it never holds (key 2).
void AddMisuse(const Choose &choose, std::vector<Step> &steps, uint32_t count, int32_t &acquisitions_left) {
    switch (choose(6)) {
    case 0:
        steps.push_back({Op::Activate, static_cast<int32_t>(choose(count)), PickPriority(choose)});
        return;
    case 1:
        steps.push_back({Op::Terminate, 0, 0});
        return;
    case 2:
        steps.push_back({Op::Acquire, PickPriority(choose), 0});
        return;
    case 3:
        steps.push_back({Op::Release, PickPriority(choose), 0});
        return;
    case 4: {
        // Leave the last hold it released open, or take a new one, and terminate.
        steps.pop_back(); // the Terminate
        const auto last_release =
            std::find_if(steps.rbegin(), steps.rend(), [](const Step &s) { return s.op == Op::Release; });
        if (last_release != steps.rend()) {
            steps.erase(std::next(last_release).base());
        } else if (acquisitions_left > 0) {
            --acquisitions_left;
            steps.push_back({Op::Acquire, PickPriority(choose), 0});
        }
        steps.push_back({Op::Terminate, 0, 0});
        return;
    }
    default:
        steps.pop_back();
        steps.push_back({Op::Release, PickPriority(choose), 2});
        return;
    }
}

} // namespace

int32_t StopIndex(Op op, Misuse misuse) {
    for (size_t i = 0; i < std::size(stops); ++i)
        if (stops[i].op == op && stops[i].misuse == misuse) return static_cast<int32_t>(i);
    return -1;
}

std::string StopText(int32_t index) {
    if (index < 0 || static_cast<size_t>(index) >= std::size(stops)) return "unknown stop";
    const Stop &s = stops[static_cast<size_t>(index)];
    return std::string(s.operation) + ": " + s.rule;
}

int32_t FindStop(const char *operation, const char *rule) {
    for (size_t i = 0; i < std::size(stops); ++i)
        if (stops[i].operation == std::string(operation) && stops[i].rule == std::string(rule))
            return static_cast<int32_t>(i);
    return -1;
}

Program Generate(const Choose &choose) {
    Program program;
    program.first_priority = PickPriority(choose);
    const uint32_t count = 1 + choose(16);
    program.bodies.resize(count);
    std::vector<std::vector<int32_t>> children(count);
    for (uint32_t b = 1; b < count; ++b) children[choose(b)].push_back(static_cast<int32_t>(b));

    int32_t acquisitions_left = 8;
    int32_t mark = 0;
    const uint32_t misuse_body = choose(4) == 0 ? choose(count) : count;
    // Half the programs use timers; two in five pass data.
    const bool timers = choose(2) == 0;
    const bool data = choose(5) < 2;
    // One in three takes interrupt ceilings.
    const bool ceilings = choose(3) == 0;
    int32_t timers_started = 0;
    int32_t item = 1000;
    if (data) {
        const uint32_t channels = 1 + choose(MAX_PROGRAM_CHANNELS);
        for (uint32_t k = 0; k < channels; ++k) {
            ProgramChannel channel{
                1 + static_cast<int32_t>(choose(MAX_CHANNEL_CAPACITY)), PickPriority(choose), {}};
            for (uint32_t n = choose(3); n > 0; --n) {
                if (choose(3) == 0) {
                    channel.per_item.push_back({Op::Mark, mark++, 0});
                } else {
                    AddDataStep(choose, channel.per_item, static_cast<int32_t>(channels),
                                static_cast<int32_t>(k), item);
                }
            }
            program.channels.push_back(channel);
        }
    }
    const auto channels = static_cast<int32_t>(program.channels.size());
    for (uint32_t b = 0; b < count; ++b) {
        std::vector<Step> &steps = program.bodies[b];
        std::vector<Step> held;
        std::vector<int32_t> own_timers;
        size_t next_child = 0;
        for (uint32_t n = choose(10); n > 0; --n) {
            switch (choose(7)) {
            case 0:
                steps.push_back({Op::Mark, mark++, 0});
                break;
            case 1:
                if (next_child < children[b].size()) {
                    steps.push_back({Op::Activate, children[b][next_child++], PickPriority(choose)});
                    AddWord(choose, data, steps.back());
                }
                break;
            case 2:
                if (acquisitions_left > 0) {
                    --acquisitions_left;
                    held.push_back({Op::Release, PickPriority(choose) + static_cast<int32_t>(choose(2)),
                                    static_cast<int32_t>(choose(2))});
                    steps.push_back({Op::Acquire, held.back().a, held.back().b});
                }
                break;
            case 3:
                if (!held.empty()) {
                    const auto it = held.begin() + choose(static_cast<uint32_t>(held.size()));
                    steps.push_back(*it);
                    held.erase(it);
                }
                break;
            case 4:
                if (next_child < children[b].size())
                    AddInterrupt(choose, data, steps, children[b], next_child);
                break;
            case 5:
                if (ceilings) AddInterruptHold(choose, data, steps, children[b], next_child, mark);
                break;
            default:
                if (choose(3) == 0) steps.push_back({Op::Return, 0, 0});
                break;
            }
            if (timers && choose(2) == 0) AddTimerStep(choose, steps, timers_started, own_timers);
            if (data && choose(2) == 0) AddDataStep(choose, steps, channels, -1, item);
        }
        // Some children are left to interrupts after the Terminate, but not
        // in the body that ends in a misuse, which replaces its last steps.
        const size_t left_to_interrupts =
            b != misuse_body && choose(3) == 0 ? next_child + choose(3) : children[b].size();
        for (; next_child < std::min(left_to_interrupts, children[b].size()); ++next_child) {
            steps.push_back({Op::Activate, children[b][next_child], PickPriority(choose)});
            AddWord(choose, data, steps.back());
        }
        while (!held.empty()) {
            const auto it = held.begin() + choose(static_cast<uint32_t>(held.size()));
            steps.push_back(*it);
            held.erase(it);
        }
        steps.push_back({Op::Terminate, 0, 0});
        while (next_child < children[b].size()) {
            if (choose(2) == 0) steps.push_back({Op::Mark, mark++, 0});
            AddInterrupt(choose, data, steps, children[b], next_child);
        }
        // Handlers send after the task has terminated too.
        if (data && b != misuse_body && choose(3) == 0)
            steps.push_back(
                {Op::SendInInterrupt, static_cast<int32_t>(choose(static_cast<uint32_t>(channels))), item++});
        if (choose(4) == 0) steps.push_back({Op::Mark, mark++, 0});
        // Time goes on in interrupts after the task has terminated too.
        if (timers && b != misuse_body && choose(4) == 0)
            steps.push_back({Op::AdvanceInInterrupt, 1 + static_cast<int32_t>(choose(6)), 0});
        if (b == misuse_body) {
            if (steps.back().op == Op::Mark) steps.pop_back(); // a misuse that replaces Terminate
            AddMisuse(choose, steps, count, acquisitions_left);
        }
    }
    return program;
}

// A channel's steps: marks, queries and sends to later channels.
bool IsValidChannel(const Program &program, size_t k) {
    const ProgramChannel &channel = program.channels[k];
    if (channel.capacity < 1 || channel.capacity > MAX_CHANNEL_CAPACITY) return false;
    for (const Step &s : channel.per_item) {
        if (s.op == Op::Mark || s.op == Op::Query) continue;
        if ((s.op != Op::Send && s.op != Op::SendInInterrupt) || s.a <= static_cast<int32_t>(k) ||
            s.a >= static_cast<int32_t>(program.channels.size()))
            return false;
    }
    return true;
}

bool IsValid(const Program &program) {
    const size_t count = program.bodies.size();
    if (count == 0 || count > 16 || program.channels.size() > MAX_PROGRAM_CHANNELS) return false;
    for (size_t k = 0; k < program.channels.size(); ++k)
        if (!IsValidChannel(program, k)) return false;
    std::vector<int> activations(count, 0);
    std::vector<int> timer_starts(MAX_PROGRAM_TIMERS, 0);
    int acquisitions = 0;
    for (size_t b = 0; b < count; ++b) {
        std::vector<std::pair<int32_t, int32_t>> held;
        std::vector<int32_t> own_timers;
        bool terminated = false;
        bool misused = false; // the run stops here: nothing may follow
        Op previous = Op::Mark;
        int interrupt_holds = 0;
        for (const Step &s : program.bodies[b]) {
            if (misused) return false;
            if (s.op == Op::InSameHandler && !IsInterrupt(previous)) return false;
            previous = s.op;
            if (s.op == Op::Interrupt && (s.e < 0 || s.e > 7)) return false;
            // Under an interrupt ceiling: marks, interrupts and nested holds.
            if (s.op == Op::HoldInterrupts) {
                if (terminated || s.a < 1 || s.a > 7) return false;
                ++interrupt_holds;
                continue;
            }
            if (s.op == Op::ReleaseInterrupts) {
                if (--interrupt_holds < 0) return false;
                continue;
            }
            if (interrupt_holds > 0 && s.op != Op::Mark && !IsInterrupt(s.op)) return false;
            if (IsSend(s.op) && (s.a < 0 || s.a >= static_cast<int32_t>(program.channels.size())))
                return false;
            // A task's send or query after its Terminate is a misuse the
            // generator never makes: whether a send stops depends on the
            // channel.
            if (terminated && (s.op == Op::Send || s.op == Op::Query)) return false;
            if (IsTimerStep(s.op)) {
                // Only a handler's advance may follow the Terminate.
                if (terminated && s.op != Op::AdvanceInInterrupt) return false;
                if (s.op == Op::StartTimer) {
                    if (s.a < 0 || s.a >= MAX_PROGRAM_TIMERS || ++timer_starts[size_t(s.a)] > 1 || s.c < 1 ||
                        s.c > 0x7FFF || s.d < 0 || s.d > 0x7FFF)
                        return false;
                    own_timers.push_back(s.a);
                } else if (s.op == Op::StopTimer) {
                    if (std::find(own_timers.begin(), own_timers.end(), s.a) == own_timers.end())
                        return false;
                } else if (s.a < 0 || s.a > 0x7FFF) {
                    return false;
                }
                continue;
            }
            if (s.op == Op::Activate || IsInterrupt(s.op)) {
                if (s.a < 0 || s.a >= static_cast<int32_t>(count)) return false;
                // After the Terminate, the task's own activation is a misuse
                // that the run stops on: it activates nothing.
                if (s.op == Op::Activate && terminated) {
                    misused = true;
                    continue;
                }
                if (s.a <= static_cast<int32_t>(b)) return false;
                ++activations[static_cast<size_t>(s.a)];
                continue;
            }
            if (terminated) {
                if (s.op == Op::Return) return false;
                misused = IsKernelCall(s.op);
                continue;
            }
            switch (s.op) {
            case Op::Acquire:
                held.push_back({s.a, s.b});
                ++acquisitions;
                break;
            case Op::Release: {
                const auto it = std::find(held.begin(), held.end(), std::make_pair(s.a, s.b));
                if (it == held.end()) {
                    misused = true;
                } else {
                    held.erase(it);
                }
                break;
            }
            case Op::Terminate:
                misused = !held.empty();
                terminated = held.empty();
                break;
            default:
                break;
            }
        }
        if ((!terminated && !misused) || interrupt_holds != 0) return false;
    }
    for (size_t b = 1; b < count; ++b)
        if (activations[b] > 1) return false;
    return acquisitions <= 8;
}

namespace {

void FormatSteps(std::ostringstream &out, const std::vector<Step> &steps) {
    for (const Step &s : steps) {
        switch (s.op) {
        case Op::Mark:
            out << " m" << s.a;
            break;
        case Op::Activate:
            out << " a" << s.a << '@' << s.b;
            break;
        case Op::Query:
            out << " q";
            break;
        case Op::Send:
            out << " >" << s.a << ':' << s.b;
            break;
        case Op::SendInInterrupt:
            out << " }" << s.a << ':' << s.b;
            break;
        case Op::SendInWindow:
            out << " ~" << s.a << ':' << s.b;
            break;
        case Op::Acquire:
            out << " +" << s.a << '/' << s.b;
            break;
        case Op::Release:
            out << " -" << s.a << '/' << s.b;
            break;
        case Op::Terminate:
            out << " t";
            break;
        case Op::Return:
            out << " r";
            break;
        case Op::Interrupt:
            out << " i" << s.a << '@' << s.b;
            break;
        case Op::InSameHandler:
            out << " &" << s.a << '@' << s.b;
            break;
        case Op::StartTimer:
            out << " s" << s.a << '@' << s.b << '/' << s.c << '/' << s.d;
            if (s.e != 0) out << '=' << s.e;
            break;
        case Op::StopTimer:
            out << " k" << s.a;
            break;
        case Op::Advance:
            out << " v" << s.a;
            break;
        case Op::AdvanceInInterrupt:
            out << " j" << s.a;
            break;
        case Op::HoldInterrupts:
            out << " H" << s.a;
            break;
        case Op::ReleaseInterrupts:
            out << " U";
            break;
        }
        const bool activates = s.op == Op::Activate || IsInterrupt(s.op);
        if (activates && (s.c != 0 || s.d != 0)) out << (s.d != 0 ? '?' : '=') << s.c;
        if (s.op == Op::Interrupt && s.e != 0) out << '^' << s.e;
    }
}

} // namespace

std::string Format(const Program &program) {
    std::ostringstream out;
    out << 'P' << program.first_priority << ':';
    for (size_t b = 0; b < program.bodies.size(); ++b) {
        if (b > 0) out << " |";
        FormatSteps(out, program.bodies[b]);
    }
    for (const ProgramChannel &channel : program.channels) {
        out << " | #" << channel.capacity << '@' << channel.priority;
        FormatSteps(out, channel.per_item);
    }
    return out.str();
}

Program Parse(const std::string &text) {
    Program program;
    std::istringstream in(text);
    char c = 0;
    in >> c >> program.first_priority >> c;
    program.bodies.emplace_back();
    std::vector<Step> *steps = &program.bodies.back();
    std::string token;
    bool new_segment = false;
    while (in >> token) {
        std::istringstream t(token.substr(1));
        Step s{Op::Mark, 0, 0};
        char separator = 0;
        if (new_segment && token[0] != '#') {
            program.bodies.emplace_back();
            steps = &program.bodies.back();
        }
        new_segment = false;
        switch (token[0]) {
        case '|':
            new_segment = true;
            continue;
        case '#':
            program.channels.push_back({0, 0, {}});
            t >> program.channels.back().capacity >> separator >> program.channels.back().priority;
            steps = &program.channels.back().per_item;
            continue;
        case 'q':
            s.op = Op::Query;
            break;
        case '>':
        case '}':
        case '~':
            s.op = token[0] == '>' ? Op::Send : token[0] == '}' ? Op::SendInInterrupt : Op::SendInWindow;
            t >> s.a >> separator >> s.b;
            break;
        case 'm':
            t >> s.a;
            break;
        case 'a':
            s.op = Op::Activate;
            t >> s.a >> separator >> s.b;
            if (t >> separator) {
                s.d = separator == '?' ? 1 : 0;
                t >> s.c;
            }
            break;
        case '+':
            s.op = Op::Acquire;
            t >> s.a >> separator >> s.b;
            break;
        case '-':
            s.op = Op::Release;
            t >> s.a >> separator >> s.b;
            break;
        case 't':
            s.op = Op::Terminate;
            break;
        case 'i':
        case '&':
            s.op = token[0] == 'i' ? Op::Interrupt : Op::InSameHandler;
            t >> s.a >> separator >> s.b;
            if (t >> separator && separator != '^') {
                s.d = separator == '?' ? 1 : 0;
                t >> s.c;
                t >> separator;
            }
            if (separator == '^') t >> s.e;
            break;
        case 'H':
            s.op = Op::HoldInterrupts;
            t >> s.a;
            break;
        case 'U':
            s.op = Op::ReleaseInterrupts;
            break;
        case 's':
            s.op = Op::StartTimer;
            t >> s.a >> separator >> s.b >> separator >> s.c >> separator >> s.d;
            if (t >> separator) t >> s.e;
            break;
        case 'k':
            s.op = Op::StopTimer;
            t >> s.a;
            break;
        case 'v':
        case 'j':
            s.op = token[0] == 'v' ? Op::Advance : Op::AdvanceInInterrupt;
            t >> s.a;
            break;
        default:
            s.op = Op::Return;
            break;
        }
        steps->push_back(s);
    }
    return program;
}

std::string Format(const Trace &trace) {
    std::ostringstream out;
    for (const Event &e : trace) {
        static const char *const kinds[] = {"enter",         "mark",         "prio", "term",     "stop",
                                            "timer-stopped", "timer-missed", "word", "base",     "current",
                                            "refused",       "tried",        "sent", "received", "empty"};
        out << kinds[e.kind] << ' ' << e.body;
        if (e.kind == Event::Stop) {
            out << ' ' << StopText(e.value);
        } else if (e.kind != Event::Terminate && e.kind != Event::Empty) {
            out << ' ' << e.value;
        }
        out << '\n';
    }
    return out.str();
}

} // namespace harness
