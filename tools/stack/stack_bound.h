// The worst-case stack of a task set on the one stack, from the call graph
// and frame sizes that GCC writes with -fcallgraph-info=su (one .ci file
// per object) and a description of the task set. A task runs to
// completion, equal priorities never preempt each other and a held ceiling
// is preempted only above it, so the stack holds at most one task per
// priority, in increasing priority, over the start-up frames, with the
// interrupt handlers nested by level on top.
#ifndef ONESTACK_STACK_BOUND_H
#define ONESTACK_STACK_BOUND_H

#include <cstdint>
#include <istream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace onestack_stack {

// The frames that the target stacks at an interrupt, beside the functions'.
struct Target {
    const char *name;
    uint32_t interrupt_frame; // what an interrupt stacks over the code it finds
    const char *how;
};
// The targets the tool knows, in one table; the README prints it.
extern const Target TARGETS[];
extern const size_t TARGET_COUNT;

struct Function {
    std::string title; // the assembler name, as the call graph's edges name it
    std::string label; // as the compiler spells it, with its parameters
    uint32_t frame = 0;
    bool has_frame = false; // defined in an object read, with its stack usage
    bool dynamic = false;   // alloca or a variable-length array, unbounded
    std::vector<std::string> callees;
};

// A resource a task takes, and the longest it holds it (0: not given).
struct Use {
    std::string resource;
    uint64_t hold = 0;
};
// What the timing analysis reads beside the priority; the stack bound
// reads none of it. Times in nanoseconds.
struct Task {
    std::string entry;
    int32_t priority;
    std::string arrival;       // "period", "sporadic", "after", "once" or "" (not given)
    uint64_t interarrival = 0; // of a period or sporadic task
    std::string after;         // the task whose every activation activates this one
    uint64_t deadline = 0;     // 0: not given
    std::vector<Use> uses;
};
struct Handler {
    std::string name;
    int32_t level;             // 0 the most urgent
    uint64_t interarrival = 0; // 0: not given
};
// A channel: its capacity in items, its consumer task, and each producer
// (a task or a handler) with the most items one activation of it sends.
struct Channel {
    std::string name;
    uint32_t capacity;
    std::string consumer;
    std::vector<std::pair<std::string, uint32_t>> producers;
};

// A depth in bytes and the deepest chain of calls that makes it, or the
// reason there is none.
struct Depth {
    uint64_t bytes = 0;
    bool bounded = true;
    bool reached = true; // for a depth to a call: whether any path makes it
    std::string reason;  // when not bounded
    std::vector<std::string> chain;
};

// One term of the bound, printed as a line of the worst chain.
struct Term {
    std::string what;
    uint64_t bytes;
};
struct Bound {
    bool bounded = true;
    std::string reason;
    uint64_t bytes = 0;
    std::vector<Term> terms;
    // Where the start's own path outside the tasks is the deeper, the chain
    // through the tasks that it exceeds, and its bytes: shown beside the
    // bound, not added to it.
    std::vector<Term> through_tasks;
    uint64_t through_tasks_bytes = 0;
};

class Program {
public:
    // Each returns false with `error` set to "file:line: what" on input it
    // cannot take. Every call graph comes before the description, whose
    // names are those of the graphs' functions.
    bool ReadCallGraph(const std::string &path, std::istream &in, std::string &error);
    bool ReadDescription(const std::string &path, std::istream &in, std::string &error);
    // Whether the descriptions read name a target, a start and a task.
    bool Complete(std::string &error) const;
    // What the descriptions say of the timing: read without call graphs,
    // every name stands as written (the first of "a|b").
    const std::vector<Task> &Tasks() const { return tasks_; }
    const std::vector<Handler> &Handlers() const { return handlers_; }
    const std::map<std::string, uint64_t> &Executions() const { return execution_; }
    const std::map<std::pair<std::string, std::string>, uint64_t> &Holds() const { return holds_; }
    const std::map<std::string, uint64_t> &Costs() const { return costs_; }
    const std::map<std::string, uint64_t> &Observed() const { return observed_; }
    const std::vector<Channel> &Channels() const { return channels_; }
    uint64_t Tick() const { return tick_; } // 0: not given

    // The deepest path from `name`: its frame and its deepest callee's,
    // task entries run by the kernel counted as nothing.
    Depth Deepest(const std::string &name);
    Bound Compute();
    // Whether a run's end counts in Deepest (the default): the kernel's
    // stop, and the functions the task set says end the run.
    void CountStops(bool count);
    // The function a description's name stands for, or "" with `error`.
    std::string Resolve(const std::string &name, std::string &error) const;
    // A function's name as its label spells it, without its parameters, or
    // its title; a chain of them.
    std::string Display(const std::string &title) const;
    std::string Chain(const Depth &d) const;

private:
    enum class Measure { DEEPEST, TO_ENTRY, TO_HANDLER };
    Depth Walk(const std::string &title, Measure measure);
    std::vector<std::string> Targets(const Function &f);
    bool IsEntryCaller(const Function &f) const;
    bool IsStop(const Function &f) const;
    bool EndsRun(const Function &f) const;
    Bound ComputeLevels();
    Term HandlerTerm(const Handler &h, const Depth &d, const std::string &what);
    // From ComputeLevels: the terms beneath a task at each priority, and
    // the handler levels whose terms close the staircase, least urgent first.
    std::map<int32_t, std::vector<Term>> beneath_;
    std::vector<int32_t> handler_levels_;
    std::string UndeclaredEntry() const;
    std::vector<std::string> ends_run_;
    std::vector<std::string> taken_;                           // functions whose address the program takes
    std::set<std::string> absent_;                             // weak references the program leaves undefined
    std::set<std::pair<std::string, std::string>> tail_calls_; // calls made by a jump, the frame gone
    bool stops_ = true;
    bool Describe(const std::string &path, int line, const std::vector<std::string> &words, int depth,
                  std::string &error);

    std::map<std::string, Function> functions_;
    const Target *target_ = nullptr;
    std::string start_;
    std::vector<Task> tasks_;
    std::vector<Handler> handlers_;
    std::string dispatcher_;
    std::map<std::string, std::vector<std::string>> calls_; // resolved function pointers
    std::map<std::string, uint64_t> bounds_;                // declared bounds
    std::vector<std::string> stop_handlers_;
    std::map<std::pair<std::string, int>, Depth> memo_;
    std::map<std::string, uint64_t> execution_;                     // ns
    std::map<std::pair<std::string, std::string>, uint64_t> holds_; // (task, resource): ns
    std::map<std::string, uint64_t> costs_;                         // the kernel's, ns
    std::vector<Channel> channels_;
    std::map<std::string, uint64_t> observed_; // ns
    uint64_t tick_ = 0;                        // the tick's period, ns
    std::vector<std::string> walking_;
};

} // namespace onestack_stack

#endif
