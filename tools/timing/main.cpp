// onestack_timing: the worst-case response time of every task of a task set
// against its deadline, from the same description that the stack tool
// reads, with the execution times (measured, or given from silicon) and
// the kernel's costs on the board as lines of it.
//   onestack_timing --tasks FILE...
//   onestack_timing [--header FILE] [--checks FILE] --tasks FILE...
//   onestack_timing [--at-least PERCENT] --tasks FILE...
// Exits 0 when every task meets its deadline and the kernel's tables
// suffice, 1 when not (saying why), 2 on input it cannot take; 1 too when
// a response observed is above its analysis, or with --at-least, below
// that share of it (a test that a run reached its worst case). With
// --header it writes instead the description's constants for the program:
// each task's priority and period in ticks, each resource's ceiling,
// computed from its users, and a key; with --checks, the checked kernel's
// table of the tasks, their priorities and the ceilings each may take.
// Either first runs the analysis where every time is given, or the table
// checks that need none, and writes nothing when they fail: the build's
// step.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "onestack.h"
#include "response_time.h"
#include "stack_bound.h"

namespace {

using onestack_stack::Program;
using onestack_timing::Analysis;
using onestack_timing::ONCE;
using onestack_timing::TimedHandler;
using onestack_timing::TimedTask;

std::string Format(uint64_t ns) {
    char text[32];
    if (ns < 10000) {
        std::snprintf(text, sizeof text, "%llu ns", static_cast<unsigned long long>(ns));
    } else if (ns < 1000000) {
        std::snprintf(text, sizeof text, "%.1f us", static_cast<double>(ns) / 1e3);
    } else {
        std::snprintf(text, sizeof text, "%.2f ms", static_cast<double>(ns) / 1e6);
    }
    return text;
}

uint64_t Cost(const Program &p, const char *name) {
    const auto c = p.Costs().find(name);
    return c == p.Costs().end() ? 0 : c->second;
}

// The description's tasks and handlers as the analysis takes them; false
// with `error` for what it lacks.
bool Timed(const Program &p, std::vector<TimedTask> &tasks, std::vector<TimedHandler> &handlers,
           std::string &error) {
    std::map<std::string, size_t> index;
    for (const auto &t : p.Tasks()) {
        const auto execution = p.Executions().find(t.entry);
        if (execution == p.Executions().end()) {
            error = t.entry + ": no execution time (an execution line, measured or given)";
            return false;
        }
        TimedTask timed;
        timed.name = t.entry;
        timed.priority = t.priority;
        timed.execution = execution->second + Cost(p, "activation") + Cost(p, "dispatch");
        if (t.arrival == "period") timed.execution += Cost(p, "expiry");
        if (t.arrival == "period" || t.arrival == "sporadic") {
            timed.interarrival = t.interarrival;
        } else if (t.arrival == "once" || t.arrival == "after") {
            timed.interarrival = ONCE; // an "after" task's is its activator's, below
        } else {
            error = t.entry + ": no arrival: period, sporadic, after or once";
            return false;
        }
        // A timer's task is released in the tick's handler, at most its
        // cost after the tick.
        if (t.arrival == "period") timed.jitter = Cost(p, "tick");
        for (const auto &use : t.uses) {
            uint64_t hold = use.hold;
            // Measured: its hold of this resource, or of any (a trace knows
            // ceilings, not names).
            for (const std::string &held : {use.resource, std::string("*")}) {
                const auto measured = p.Holds().find({t.entry, held});
                if (hold == 0 && measured != p.Holds().end()) hold = measured->second;
            }
            if (hold == 0) {
                error = t.entry + " uses " + use.resource + ": no longest hold (uses " + use.resource +
                        " TIME, or a hold line)";
                return false;
            }
            timed.holds.push_back({use.resource, hold});
        }
        index[t.entry] = tasks.size();
        tasks.push_back(timed);
    }
    for (size_t i = 0; i < tasks.size(); ++i) {
        const auto &t = p.Tasks()[i];
        if (t.arrival != "after") continue;
        const auto by = index.find(t.after);
        if (by == index.end()) {
            error = t.entry + ": after " + t.after + ", which is no task of the set";
            return false;
        }
        tasks[i].interarrival = tasks[by->second].interarrival;
    }
    for (size_t i = 0; i < tasks.size(); ++i) {
        const auto &t = p.Tasks()[i];
        tasks[i].deadline = t.deadline != 0 ? t.deadline : tasks[i].interarrival;
    }
    for (const auto &h : p.Handlers()) {
        const auto execution = p.Executions().find(h.name);
        if (execution == p.Executions().end() || h.interarrival == 0) {
            error = h.name + ": a handler needs its execution time and its period or sporadic time";
            return false;
        }
        handlers.push_back({h.name, execution->second + Cost(p, "exit"), h.interarrival});
    }
    return true;
}

// A task activated after another is released when that one runs it, at
// most its response after that one's release: its jitter, which the
// analysis then grows until it settles.
Analysis Settle(const Program &p, std::vector<TimedTask> &tasks, const std::vector<TimedHandler> &handlers) {
    Analysis a = onestack_timing::Analyse(tasks, handlers);
    for (int round = 0; round < 32; ++round) {
        bool changed = false;
        for (size_t i = 0; i < tasks.size(); ++i) {
            const auto &t = p.Tasks()[i];
            if (t.arrival != "after") continue;
            for (size_t j = 0; j < tasks.size(); ++j) {
                if (p.Tasks()[j].entry != t.after || !a.tasks[j].bounded) continue;
                const uint64_t jitter = tasks[j].jitter + a.tasks[j].time;
                if (jitter != tasks[i].jitter) {
                    tasks[i].jitter = jitter;
                    changed = true;
                }
            }
        }
        if (!changed) break;
        a = onestack_timing::Analyse(tasks, handlers);
    }
    return a;
}

// The tables that need no times: a timer for each periodic task; of the
// holds, a task's nested ones at most, for one started task per priority.
// Says so when one can run out, or with `always`.
bool TablesSuffice(const Program &p, bool always) {
    uint32_t timers = 0;
    uint32_t holds = 0;
    std::map<int32_t, uint32_t> holds_at;
    for (const auto &t : p.Tasks()) {
        timers += t.arrival == "period" ? 1 : 0;
        auto &at = holds_at[t.priority];
        at = std::max(at, static_cast<uint32_t>(t.uses.size()));
    }
    for (const auto &[priority, count] : holds_at) holds += count;
    const bool enough = timers <= MAX_TIMERS && holds <= MAX_RESOURCES;
    if (always || !enough) {
        std::printf("timers running at once %u of %d; resource holds at once %u of %d%s\n", timers,
                    static_cast<int>(MAX_TIMERS), holds, static_cast<int>(MAX_RESOURCES),
                    enough ? "" : ": a table of the kernel can run out");
    }
    return enough;
}

// The kernel's fixed tables against what the task set can use at once;
// each line printed, false if one can run out.
bool CapacitiesSuffice(const Program &p, const std::vector<TimedTask> &tasks,
                       const std::vector<TimedHandler> &handlers, const Analysis &a) {
    bool enough = a.live_records <= MAX_TASKS;
    std::printf("task records live at once %u of %d\n", static_cast<unsigned>(a.live_records),
                static_cast<int>(MAX_TASKS));
    enough = TablesSuffice(p, true) && enough;
    // An item waits at most the response of the consumer's activation that
    // receives it, counted from the send that activated it: a channel
    // holds at most what its producers send within that response.
    for (const auto &c : p.Channels()) {
        size_t consumer = tasks.size();
        for (size_t i = 0; i < tasks.size(); ++i) consumer = tasks[i].name == c.consumer ? i : consumer;
        if (consumer == tasks.size() || !a.tasks[consumer].bounded) {
            std::printf("channel %s: its consumer %s is no task of the set with a bounded response\n",
                        c.name.c_str(), c.consumer.c_str());
            enough = false;
            continue;
        }
        uint64_t items = 0;
        const uint64_t window = a.tasks[consumer].time;
        bool known = true;
        for (const auto &sent : c.producers) {
            const std::string &producer = sent.first;
            const uint64_t sends = sent.second;
            const auto task = std::find_if(tasks.begin(), tasks.end(),
                                           [&](const TimedTask &t) { return t.name == producer; });
            const auto handler = std::find_if(handlers.begin(), handlers.end(),
                                              [&](const TimedHandler &h) { return h.name == producer; });
            if (task != tasks.end()) {
                items += sends *
                         (task->interarrival == ONCE ? 1 : (window + task->jitter) / task->interarrival + 1);
            } else if (handler != handlers.end()) {
                items += sends * (window / handler->interarrival + 1); // a handler's is never 0
            } else {
                std::printf("channel %s: its producer %s is no task or handler of the set\n", c.name.c_str(),
                            producer.c_str());
                known = false;
            }
        }
        if (!known) {
            enough = false;
            continue;
        }
        std::printf("channel %s: at most %llu items waiting, of %u\n", c.name.c_str(),
                    static_cast<unsigned long long>(items), c.capacity);
        enough = enough && items <= c.capacity;
    }
    return enough;
}

// The last component of a C++ name.
std::string LastName(const std::string &name) {
    const size_t colon = name.rfind(':');
    return name.substr(colon == std::string::npos ? 0 : colon + 1);
}

// A resource's ceiling: the highest priority of the tasks that use it.
int32_t CeilingOf(const Program &p, const std::string &resource) {
    int32_t ceiling = INT32_MIN;
    for (const auto &t : p.Tasks()) {
        for (const auto &use : t.uses) {
            if (use.resource == resource) ceiling = std::max(ceiling, t.priority);
        }
    }
    return ceiling;
}

// A C name's upper-case form: the last component of a C++ name, anything
// but letters and digits as '_'.
std::string Constant(const std::string &name) {
    std::string c = LastName(name);
    for (char &ch : c) {
        ch = std::isalnum(static_cast<unsigned char>(ch)) != 0 ? static_cast<char>(std::toupper(ch)) : '_';
    }
    return c;
}

bool WriteHeader(const Program &p, const std::string &path, std::string &error) {
    std::string text = "/* Generated by onestack_timing from the task set's description: edit that. */\n"
                       "#ifndef ONESTACK_TASK_SET_H\n#define ONESTACK_TASK_SET_H\n\nenum {\n";
    if (p.Tick() != 0) text += "    TASK_SET_TICK_US = " + std::to_string(p.Tick() / 1000) + ",\n";
    std::vector<std::string> resources;
    // An entry run at one priority is named once; one run at several has no
    // constant, which the program then cannot take by mistake.
    std::map<std::string, std::vector<int32_t>> priorities;
    for (const auto &t : p.Tasks()) {
        auto &at = priorities[Constant(t.entry)];
        if (std::find(at.begin(), at.end(), t.priority) == at.end()) at.push_back(t.priority);
    }
    std::map<std::string, bool> written;
    for (const auto &t : p.Tasks()) {
        const std::string name = Constant(t.entry);
        if (priorities[name].size() > 1 || written[name]) continue;
        written[name] = true;
        text += "    TASK_" + name + "_PRIORITY = " + std::to_string(t.priority) + ",\n";
        if (t.arrival == "period") {
            if (p.Tick() == 0 || t.interarrival % p.Tick() != 0) {
                error = t.entry + ": a period in ticks needs a tick line whose period divides it";
                return false;
            }
            text +=
                "    TASK_" + name + "_PERIOD_TICKS = " + std::to_string(t.interarrival / p.Tick()) + ",\n";
        }
        for (const auto &use : t.uses) {
            if (std::find(resources.begin(), resources.end(), use.resource) == resources.end()) {
                resources.push_back(use.resource);
            }
        }
    }
    for (size_t i = 0; i < resources.size(); ++i) {
        const int32_t ceiling = CeilingOf(p, resources[i]);
        const std::string name = Constant(resources[i]);
        text +=
            "    RESOURCE_" + name + "_CEILING = " + std::to_string(ceiling) + ", /* its users' highest */\n";
        text += "    RESOURCE_" + name + "_KEY = " + std::to_string(i + 1) + ",\n";
    }
    text += "};\n\n#endif\n";
    std::ofstream out(path);
    if (!(out << text) || !out.flush()) {
        error = path + ": cannot be written";
        return false;
    }
    return true;
}

// The checked kernel's table: each task's name, priority and the ceilings
// of the resources it uses, each computed from its users.
bool WriteChecks(const Program &p, const std::string &path, std::string &error) {
    std::string text = "/* Generated by onestack_timing from the task set's description: edit that. */\n"
                       "#include \"onestack.h\"\n\n";
    std::string table = "const DeclaredTask onestack_task_set[] = {\n";
    for (size_t i = 0; i < p.Tasks().size(); ++i) {
        const auto &t = p.Tasks()[i];
        std::string ceilings;
        for (const auto &use : t.uses) {
            ceilings += (ceilings.empty() ? "" : ", ") + std::to_string(CeilingOf(p, use.resource));
        }
        const std::string list = "ceilings_" + std::to_string(i);
        if (!ceilings.empty()) {
            text += "static const int32_t " + list + "[] = {";
            text += ceilings + "};\n";
        }
        table += "    {\"";
        table += LastName(t.entry);
        table += "\", " + std::to_string(t.priority) + ", " + (ceilings.empty() ? "0" : list) + ", ";
        table += std::to_string(t.uses.size()) + "},\n";
    }
    if (p.Tasks().empty()) {
        error = path + ": a task set with no task";
        return false;
    }
    text += "\n" + table +
            "};\nconst uint32_t onestack_task_set_count = " + std::to_string(p.Tasks().size()) + ";\n";
    std::ofstream out(path);
    if (!(out << text) || !out.flush()) {
        error = path + ": cannot be written";
        return false;
    }
    return true;
}

// Whether the description gives every task and handler its execution time.
bool TimesGiven(const Program &p) {
    for (const auto &t : p.Tasks()) {
        if (p.Executions().count(t.entry) == 0) return false;
    }
    for (const auto &h : p.Handlers()) {
        if (p.Executions().count(h.name) == 0) return false;
    }
    return !p.Tasks().empty();
}

// The analysis' table and verdict: 0 when every task meets its deadline
// and the tables suffice, 1 when not, 2 when the description lacks a time.
int Report(const Program &program, int at_least) {
    std::vector<TimedTask> tasks;
    std::vector<TimedHandler> handlers;
    std::string error;
    if (!Timed(program, tasks, handlers, error)) {
        std::fprintf(stderr, "onestack_timing: %s\n", error.c_str());
        return 2;
    }
    const Analysis a = Settle(program, tasks, handlers);
    std::printf("%-16s %8s %12s %12s %12s %12s %12s %18s\n", "task", "priority", "execution", "every",
                "deadline", "blocking", "response", "observed");
    bool below = false;    // a run showed a response above the analysed one
    bool short_of = false; // a run's worst fell short of --at-least
    for (size_t i = 0; i < tasks.size(); ++i) {
        const TimedTask &t = tasks[i];
        const auto &r = a.tasks[i];
        const auto seen = program.Observed().find(t.name);
        const bool exceeded = seen != program.Observed().end() && r.bounded && seen->second > r.time;
        below = below || exceeded;
        std::string observed = "-";
        bool short_here = false;
        if (seen != program.Observed().end()) {
            observed = Format(seen->second);
            if (r.bounded && r.time > 0) {
                const uint64_t percent = seen->second * 100 / r.time;
                observed += " (" + std::to_string(percent) + " %)";
                short_here = percent < static_cast<uint64_t>(at_least);
            }
        }
        short_of = short_of || short_here;
        const char *note = !r.bounded   ? r.reason.c_str()
                           : exceeded   ? "OBSERVED ABOVE THE ANALYSIS"
                           : !r.meets   ? "MISSES its deadline"
                           : short_here ? "observed short of its share"
                                        : "";
        std::printf("%-16s %8d %12s %12s %12s %12s %12s %18s%s%s\n", t.name.c_str(),
                    static_cast<int>(t.priority), Format(t.execution).c_str(),
                    t.interarrival == ONCE ? "once" : Format(t.interarrival).c_str(),
                    t.deadline == 0 ? "-" : Format(t.deadline).c_str(), Format(r.blocking).c_str(),
                    r.bounded ? Format(r.time).c_str() : "unbounded", observed.c_str(),
                    *note != '\0' ? "  " : "", note);
    }
    std::map<std::string, std::vector<std::string>> users;
    for (const TimedTask &t : tasks) {
        for (const auto &hold : t.holds) users[hold.resource].push_back(t.name);
    }
    for (const auto &[resource, names] : users) {
        std::string list;
        for (const std::string &name : names) list += (list.empty() ? "" : ", ") + name;
        std::printf("resource %s: ceiling %d, from %s\n", resource.c_str(),
                    static_cast<int>(onestack_timing::Ceiling(tasks, resource)), list.c_str());
    }
    std::printf("utilisation %.1f %%\n", 100 * a.utilisation);
    const bool enough = CapacitiesSuffice(program, tasks, handlers, a);
    if (below) {
        std::printf("a run showed a response above its analysis: its figures or the analysis are wrong\n");
        return 1;
    }
    if (short_of) {
        std::printf("a run's worst response is below %d %% of its analysis\n", at_least);
        return 1;
    }
    if (!a.feasible) {
        std::printf("a task can miss its deadline\n");
        return 1;
    }
    if (!enough) {
        std::printf("a table of the kernel can run out\n");
        return 1;
    }
    std::printf("every task meets its deadline\n");
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    Program program;
    std::string header;
    std::string checks;
    int at_least = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--at-least" && i + 1 < argc) {
            at_least = std::atoi(argv[++i]);
            continue;
        }
        if (std::string(argv[i]) == "--header" && i + 1 < argc && header.empty()) {
            header = argv[++i];
            continue;
        }
        if (std::string(argv[i]) == "--checks" && i + 1 < argc && checks.empty()) {
            checks = argv[++i];
            continue;
        }
        if (std::string(argv[i]) != "--tasks" || i + 1 == argc) {
            std::fprintf(stderr,
                         "usage: onestack_timing [--header FILE] [--checks FILE] [--at-least PERCENT] "
                         "--tasks FILE...\n");
            return 2;
        }
        const std::string path = argv[++i];
        std::ifstream file(path);
        std::string error;
        if (!file || !program.ReadDescription(path, file, error)) {
            std::fprintf(stderr, "onestack_timing: %s\n",
                         file ? error.c_str() : (path + ": cannot be read").c_str());
            return 2;
        }
    }
    if (header.empty() && checks.empty()) return Report(program, at_least);
    // The build's step: a task set with every time given must pass its
    // analysis, and any must fit the kernel's tables, before the program
    // gets its constants.
    if (TimesGiven(program)) {
        const int analysed = Report(program, 0);
        if (analysed != 0) return analysed;
    } else if (!TablesSuffice(program, false)) {
        return 1;
    }
    std::string error;
    if ((header.empty() || WriteHeader(program, header, error)) &&
        (checks.empty() || WriteChecks(program, checks, error))) {
        return 0;
    }
    std::fprintf(stderr, "onestack_timing: %s\n", error.c_str());
    return 2;
}
