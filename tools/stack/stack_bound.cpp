#include "stack_bound.h"

#include <cxxabi.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <fstream>
#include <sstream>

namespace onestack_stack {

// With an FPU in use, the frame is the one that holds its state too.
const Target TARGETS[] = {
    {"x86-64", 0, "no interrupts: SimulateInterrupt is a call, in the call graph"},
    {"cortex-m", 32, "the core stacks r0-r3, r12, lr, pc and xPSR"},
    {"cortex-m-fp", 104, "the same with s0-s15 and FPSCR, when the code it finds uses the FPU"},
    {"riscv", 80, "the trap entry saves ra, t0-t6, a0-a7, mepc and mstatus"},
    {"riscv-f", 176, "the same with ft0-ft11, fa0-fa7 and fcsr, when mstatus.FS is Dirty"},
};
const size_t TARGET_COUNT = sizeof TARGETS / sizeof TARGETS[0];

namespace {

constexpr const char *INDIRECT = "__indirect_call";
constexpr const char *NOTHING = "(nothing)"; // what `calls F -` says F's pointer reaches
constexpr int MAX_INCLUDE_DEPTH = 8;

std::string Where(const std::string &path, int line) { return path + ":" + std::to_string(line) + ": "; }

// A title without the assembler's '*' mark; a file-local function's keeps
// its file, which makes it unique.
std::string Title(std::string text) {
    if (!text.empty() && text[0] == '*') text.erase(0, 1);
    return text;
}

// The `key: "value"` pairs of one graph line; false if malformed.
bool Fields(const std::string &text, size_t from, std::map<std::string, std::string> &fields) {
    size_t i = from;
    for (;;) {
        while (i < text.size() && text[i] == ' ') ++i;
        if (i < text.size() && text[i] == '}') return true;
        const size_t colon = text.find(':', i);
        if (colon == std::string::npos) return false;
        std::string key = text.substr(i, colon - i);
        while (!key.empty() && key.back() == ' ') key.pop_back();
        if (key.empty() || key.find_first_of("\"{} ") != std::string::npos) return false;
        i = colon + 1;
        while (i < text.size() && text[i] == ' ') ++i;
        if (i >= text.size()) return false;
        std::string value;
        if (text[i] == '"') {
            for (++i;; ++i) {
                if (i >= text.size()) return false;
                if (text[i] == '"') break;
                if (text[i] == '\\') {
                    if (++i >= text.size()) return false;
                    value += text[i] == 'n' ? '\n' : text[i];
                } else {
                    value += text[i];
                }
            }
            ++i;
        } else {
            while (i < text.size() && text[i] != ' ' && text[i] != '}') value += text[i++];
        }
        fields[key] = value;
    }
}

// "N bytes (static)" in a defined function's label, its last line: the
// frame, and whether it is bounded ("static" or "dynamic,bounded").
bool Frame(const std::string &label, Function &f) {
    const size_t line = label.rfind('\n');
    if (line == std::string::npos) return false;
    std::istringstream in(label.substr(line + 1));
    uint64_t bytes;
    std::string unit;
    std::string kind;
    if (!(in >> bytes >> unit >> kind) || unit != "bytes" || bytes > UINT32_MAX) return false;
    if (kind != "(static)" && kind != "(dynamic)" && kind != "(dynamic,bounded)") return false;
    f.frame = static_cast<uint32_t>(bytes);
    f.has_frame = true;
    f.dynamic = kind == "(dynamic)";
    return true;
}

// The name a label gives, without its parameters or template arguments
// and return type: "void onestack::Dispatch(TaskId)" is onestack::Dispatch.
std::string PlainName(const std::string &label) {
    std::string head = label.substr(0, label.find('\n'));
    head = head.substr(0, head.find('('));
    const size_t space = head.rfind(' ');
    return space == std::string::npos ? head : head.substr(space + 1);
}

// GCC writes the label of some template instances cut short, from the ")"
// that closes their parameters on ("...) [with Word = {}]"): their name is
// then read from the title's symbol, demangled, as "T name<...>(...)".
std::string LabelFromTitle(const std::string &title, const std::string &label) {
    const std::string symbol = title.substr(title.rfind(':') + 1);
    int status = 0;
    char *demangled = abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status);
    if (demangled == nullptr) return label;
    std::string name = demangled;
    std::free(demangled);
    // The demangler's "(anonymous namespace)" is GCC's "{anonymous}".
    for (size_t at; (at = name.find("(anonymous namespace)")) != std::string::npos;) {
        name.replace(at, 21, "{anonymous}");
    }
    name = name.substr(0, name.find_first_of("<("));
    const size_t first_line_end = label.find('\n');
    return name + "()" + (first_line_end == std::string::npos ? "" : label.substr(first_line_end));
}

std::string LastComponent(const std::string &name) {
    const size_t colons = name.rfind("::");
    return colons == std::string::npos ? name : name.substr(colons + 2);
}

bool Number(const std::string &text, int64_t low, int64_t high, int64_t &value) {
    if (text.empty() || text.size() > 12) return false;
    size_t used = 0;
    try {
        value = std::stoll(text, &used);
    } catch (...) {
        return false;
    }
    return used == text.size() && value >= low && value <= high;
}

// A time with its unit (ns, us, ms or s), in nanoseconds.
bool Time(const std::string &text, uint64_t &ns) {
    static const struct {
        const char *unit;
        uint64_t ns;
    } UNITS[] = {{"ns", 1}, {"us", 1000}, {"ms", 1000000}, {"s", 1000000000}};
    for (const auto &u : UNITS) {
        const size_t length = std::char_traits<char>::length(u.unit);
        if (text.size() <= length || text.compare(text.size() - length, length, u.unit) != 0) continue;
        const std::string digits = text.substr(0, text.size() - length);
        if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
        int64_t value = 0;
        if (!Number(digits, 0, INT64_C(1) << 36, value)) return false;
        ns = static_cast<uint64_t>(value) * u.ns;
        return true;
    }
    return false;
}

std::string Join(const std::vector<std::string> &names, const char *between) {
    std::string text;
    for (const std::string &name : names) text += (text.empty() ? "" : between) + name;
    return text;
}

} // namespace

bool Program::ReadCallGraph(const std::string &path, std::istream &in, std::string &error) {
    std::string text;
    int line = 0;
    bool in_graph = false;
    bool ended = false;
    while (std::getline(in, text)) {
        ++line;
        if (text.empty()) continue;
        if (ended) {
            error = Where(path, line) + "text after the graph's end";
            return false;
        }
        if (text.rfind("graph: {", 0) == 0 && !in_graph) {
            in_graph = true;
            continue;
        }
        if (text == "}" && in_graph) {
            ended = true;
            continue;
        }
        std::map<std::string, std::string> fields;
        const bool node = text.rfind("node: {", 0) == 0;
        const bool edge = text.rfind("edge: {", 0) == 0;
        if (!in_graph || (!node && !edge) || !Fields(text, 7, fields)) {
            error = Where(path, line) + "not a line of GCC's call graph (node, edge or the graph's braces)";
            return false;
        }
        if (node) {
            if (fields.count("title") == 0 || fields.count("label") == 0) {
                error = Where(path, line) + "a node without a title or a label";
                return false;
            }
            const std::string title = Title(fields["title"]);
            Function read;
            read.title = title;
            read.label = fields["label"];
            if (read.label.rfind(')', 0) == 0) read.label = LabelFromTitle(title, read.label);
            // A function only called here has a shape, and no stack usage.
            if (fields.count("shape") == 0 && !Frame(read.label, read)) {
                error = Where(path, line) +
                        "a stack usage other than \"N bytes (static|dynamic|dynamic,bounded)\"";
                return false;
            }
            Function &f = functions_[title];
            f.title = title;
            if (read.has_frame) {
                // Defined twice (a weak and a strong definition, say): the larger.
                if (!f.has_frame || read.frame > f.frame) f.frame = read.frame;
                f.dynamic = f.dynamic || read.dynamic;
                f.has_frame = true;
                f.label = read.label;
            } else if (f.label.empty()) {
                f.label = read.label;
            }
        } else {
            if (fields.count("sourcename") == 0 || fields.count("targetname") == 0) {
                error = Where(path, line) + "an edge without a sourcename or a targetname";
                return false;
            }
            const std::string source = Title(fields["sourcename"]);
            const std::string target = Title(fields["targetname"]);
            Function &f = functions_[source];
            f.title = source;
            if (std::find(f.callees.begin(), f.callees.end(), target) == f.callees.end()) {
                f.callees.push_back(target);
            }
            functions_[target].title = target;
        }
    }
    if (in.bad()) {
        error = path + ": cannot be read";
        return false;
    }
    if (!ended) {
        error = Where(path, line) + "the graph does not end (no closing brace)";
        return false;
    }
    memo_.clear();
    return true;
}

std::string Program::Resolve(const std::string &name, std::string &error) const {
    if (name == INDIRECT) {
        error = "\"" + name + "\" is not a function";
        return "";
    }
    const auto exact = functions_.find(Title(name));
    if (exact != functions_.end()) return exact->first;
    std::vector<std::string> found;
    for (const auto &[title, f] : functions_) {
        const std::string plain = PlainName(f.label);
        const size_t colon = title.rfind(':'); // a file-local function's title, after its file
        if (plain == name || LastComponent(plain) == name ||
            (colon != std::string::npos && title.substr(colon + 1) == name)) {
            found.push_back(title);
        }
    }
    if (found.size() == 1) return found[0];
    error = found.empty() ? "no function \"" + name + "\" in the call graphs"
                          : "\"" + name + "\" names " + std::to_string(found.size()) + " functions (" +
                                Join(found, ", ") + "): give the assembler name";
    return "";
}

bool Program::Describe(const std::string &path, int line, const std::vector<std::string> &words, int depth,
                       std::string &error) {
    const std::string &what = words[0];
    const size_t n = words.size();
    const std::string at = Where(path, line);
    // "a|b": the first of the names that the graphs hold, for a task set
    // shared by boards whose handlers have other names.
    auto name = [&](const std::string &written, std::string &resolved) {
        if (functions_.empty()) { // no call graphs: for the timing, names stand as written
            resolved = written.substr(0, written.find('|'));
            return true;
        }
        std::string why;
        std::string first_why;
        for (size_t from = 0;;) {
            const size_t bar = written.find('|', from);
            resolved = Resolve(written.substr(from, bar == std::string::npos ? bar : bar - from), why);
            if (first_why.empty()) first_why = why;
            if (!resolved.empty() || bar == std::string::npos) break;
            from = bar + 1;
        }
        if (resolved.empty()) error = at + first_why;
        return !resolved.empty();
    };
    // The function a name stands for, or "" when this program has none:
    // the lines that the build writes, and a library's bounds, may name
    // functions that this program lacks.
    auto present = [this](const std::string &written) {
        std::string ignored;
        return Resolve(written, ignored);
    };
    int64_t value = 0;
    if (what == "target" && n == 2) {
        for (size_t i = 0; i < TARGET_COUNT; ++i) {
            if (words[1] == TARGETS[i].name) target_ = &TARGETS[i];
        }
        if (target_ == nullptr) error = at + "no target \"" + words[1] + "\"";
        return target_ != nullptr;
    }
    if (what == "start" && n == 2) return name(words[1], start_);
    if (what == "dispatcher" && n == 2) return name(words[1], dispatcher_);
    if (what == "ends-run" && n == 2) {
        std::string f;
        if (!name(words[1], f)) return false;
        ends_run_.push_back(f);
        return true;
    }
    if (what == "address-taken" && n >= 2) {
        // The program takes these functions' addresses; one that the graphs
        // lack is none of the program's to run.
        for (size_t i = 1; i < n; ++i) {
            const std::string f = present(words[i]);
            if (!f.empty()) taken_.push_back(f);
        }
        return true;
    }
    if (what == "stop-handler" && n == 2) {
        std::string f;
        if (!name(words[1], f)) return false;
        stop_handlers_.push_back(f);
        return true;
    }
    auto time = [&](size_t i, uint64_t &ns) {
        if (i < n && Time(words[i], ns)) return true;
        error = at + "a time is a whole number with its unit: ns, us, ms or s";
        return false;
    };
    if (what == "task" && n >= 3) {
        Task task;
        if (!Number(words[2], INT32_MIN, INT32_MAX, value)) {
            error = at + "a task's priority is a 32-bit integer";
            return false;
        }
        task.priority = static_cast<int32_t>(value);
        if (!name(words[1], task.entry)) return false;
        for (size_t i = 3; i < n; ++i) {
            const std::string &key = words[i];
            if (key == "ceiling") { // written by hand: only delays what outranks the task
                if (i + 1 >= n || !Number(words[i + 1], INT32_MIN, INT32_MAX, value)) {
                    error = at + "a ceiling is a 32-bit integer";
                    return false;
                }
                while (i + 1 < n && Number(words[i + 1], INT32_MIN, INT32_MAX, value)) ++i;
            } else if ((key == "period" || key == "sporadic") && task.arrival.empty()) {
                task.arrival = key;
                if (!time(++i, task.interarrival)) return false;
            } else if (key == "after" && task.arrival.empty() && i + 1 < n) {
                task.arrival = key;
                task.after = words[++i];
            } else if (key == "once" && task.arrival.empty()) {
                task.arrival = key;
            } else if (key == "deadline") {
                if (!time(++i, task.deadline)) return false;
            } else if (key == "uses" && i + 1 < n) {
                Use use{words[++i], 0};
                if (i + 1 < n && std::isdigit(static_cast<unsigned char>(words[i + 1][0])) != 0 &&
                    !time(++i, use.hold)) {
                    return false;
                }
                task.uses.push_back(use);
            } else {
                error = at +
                        "a task's line goes on with ceiling, period, sporadic, after, once, deadline or uses";
                return false;
            }
        }
        tasks_.push_back(task);
        return true;
    }
    if (what == "handler" && (n == 3 || n == 5)) {
        Handler handler;
        if (!Number(words[2], 0, 255, value)) {
            error = at + "a handler's level is 0 (the most urgent) to 255";
            return false;
        }
        handler.level = static_cast<int32_t>(value);
        if (!name(words[1], handler.name)) return false;
        if (n == 5) {
            if (words[3] != "period" && words[3] != "sporadic") {
                error = at + "a handler's line goes on with period or sporadic and a time";
                return false;
            }
            if (!time(4, handler.interarrival)) return false;
        }
        handlers_.push_back(handler);
        return true;
    }
    // Times for the analysis, by the names a trace gives (as written): the
    // longest execution of a task or handler (the analysis adds the
    // kernel's costs), the longest hold of a resource, the kernel's costs
    // on the board.
    if (what == "execution" && n == 3) return time(2, execution_[words[1]]);
    if (what == "hold" && n == 4) return time(3, holds_[{words[1], words[2]}]);
    if (what == "cost" && n == 3) return time(2, costs_[words[1]]);
    if (what == "tick" && n == 2) return time(1, tick_); // the tick's period, for periods in ticks
    if (what == "channel" && n >= 6 && n % 2 == 0) {     // NAME CAPACITY CONSUMER (PRODUCER SENDS)...
        Channel channel{words[1], 0, words[3], {}};
        if (!Number(words[2], 1, 65536, value)) {
            error = at + "a channel's capacity is 1 to 65536 items";
            return false;
        }
        channel.capacity = static_cast<uint32_t>(value);
        for (size_t i = 4; i < n; i += 2) {
            if (!Number(words[i + 1], 1, 65536, value)) {
                error = at + "a producer's sends per activation are 1 to 65536";
                return false;
            }
            channel.producers.emplace_back(words[i], static_cast<uint32_t>(value));
        }
        channels_.push_back(channel);
        return true;
    }
    if (what == "observed" && n == 3) { // the longest response a run showed
        uint64_t t = 0;
        if (!time(2, t)) return false;
        observed_[words[1]] = std::max(observed_[words[1]], t);
        return true;
    }
    if (what == "bound" && n == 3) {
        if (!Number(words[2], 0, UINT32_MAX, value)) {
            error = at + "a bound is a number of bytes";
            return false;
        }
        const std::string f = present(words[1]);
        bounds_[f.empty() ? Title(words[1]) : f] = static_cast<uint64_t>(value);
        return true;
    }
    if (what == "tail-calls" && n == 3) {
        const std::string from = present(words[1]);
        const std::string to = present(words[2]);
        if (!from.empty() && !to.empty()) tail_calls_.insert({from, to});
        return true;
    }
    if (what == "absent" && n >= 2) {
        for (size_t i = 1; i < n; ++i) {
            const std::string f = present(words[i]);
            if (!f.empty()) absent_.insert(f);
        }
        return true;
    }
    if (what == "calls" && n >= 3) {
        std::string f;
        if (!name(words[1], f)) return false;
        if (n == 3 && words[2] == "-") { // through a table that this program leaves empty
            calls_[f];
            bounds_[NOTHING] = 0;
            return true;
        }
        // A target that this program lacks is skipped: shared task sets
        // name every one a pointer may reach in any program. A `-` among
        // them lets the program lack them all: the table is then empty.
        std::vector<std::string> &targets = calls_[f];
        const size_t before = targets.size();
        std::string missing;
        bool may_be_empty = false;
        for (size_t i = 2; i < n; ++i) {
            std::string callee;
            if (words[i] == "-") {
                may_be_empty = true;
            } else if (name(words[i], callee)) {
                targets.push_back(callee);
            } else if (missing.empty()) {
                missing = error;
            }
        }
        if (targets.size() == before && may_be_empty) bounds_[NOTHING] = 0;
        if (targets.size() == before && !may_be_empty) {
            error = missing;
            return false;
        }
        error.clear();
        return true;
    }
    if (what == "include" && n == 2) {
        if (depth >= MAX_INCLUDE_DEPTH) {
            error = at + "includes nested more than 8 deep";
            return false;
        }
        const size_t slash = path.rfind('/');
        const std::string included = words[1][0] == '/' || slash == std::string::npos
                                         ? words[1]
                                         : path.substr(0, slash + 1) + words[1];
        std::ifstream file(included);
        if (!file) {
            error = at + "cannot open " + included;
            return false;
        }
        std::string text;
        int number = 0;
        while (std::getline(file, text)) {
            ++number;
            std::istringstream split(text.substr(0, text.find('#')));
            std::vector<std::string> inner;
            for (std::string word; split >> word;) inner.push_back(word);
            if (!inner.empty() && !Describe(included, number, inner, depth + 1, error)) return false;
        }
        return true;
    }
    error = at +
            "not a line of a task set: target, start, task, handler, dispatcher, calls, bound, stop-handler, "
            "ends-run, address-taken, absent, tail-calls, execution, hold, cost, observed, tick, channel or "
            "include, "
            "with their arguments";
    return false;
}

bool Program::ReadDescription(const std::string &path, std::istream &in, std::string &error) {
    std::string text;
    int line = 0;
    while (std::getline(in, text)) {
        ++line;
        std::istringstream split(text.substr(0, text.find('#')));
        std::vector<std::string> words;
        for (std::string word; split >> word;) words.push_back(word);
        if (!words.empty() && !Describe(path, line, words, 0, error)) return false;
    }
    memo_.clear();
    return true;
}

bool Program::Complete(std::string &error) const {
    if (target_ == nullptr || start_.empty() || tasks_.empty()) {
        error = "a task set names its target, its start and at least one task";
        return false;
    }
    return true;
}

// The kernel runs task entries through a pointer in these, and a stop's
// handler in Stop: each is told by the name the compiler gives it.
bool Program::IsStop(const Function &f) const { return PlainName(f.label) == "onestack::{anonymous}::Stop"; }

bool Program::EndsRun(const Function &f) const {
    return IsStop(f) || std::find(ends_run_.begin(), ends_run_.end(), f.title) != ends_run_.end();
}

void Program::CountStops(bool count) {
    stops_ = count;
    memo_.clear();
}

bool Program::IsEntryCaller(const Function &f) const {
    const std::string name = PlainName(f.label);
    return name == "ActivateTask" || name == "ActivateTaskWith" || name == "TryActivateTask" ||
           name == "onestack::Dispatch" || name == "onestack::DispatchAtInterruptExit";
}

// What a call through a pointer in `f` may reach: the task set's `calls`,
// a stop's handlers in the kernel's Stop, the handlers in the host's
// SimulateInterrupt.
std::vector<std::string> Program::Targets(const Function &f) {
    std::vector<std::string> targets;
    const auto declared = calls_.find(f.title);
    if (declared != calls_.end()) targets = declared->second;
    if (declared != calls_.end() && targets.empty()) targets.push_back(NOTHING);
    const std::string name = PlainName(f.label);
    if (IsStop(f)) {
        targets.insert(targets.end(), stop_handlers_.begin(), stop_handlers_.end());
        std::string ignored;
        const std::string standard = Resolve("onestack::{anonymous}::WriteStopLine", ignored);
        if (!standard.empty()) targets.push_back(standard);
    }
    if (name == "SimulateInterrupt") {
        for (const Handler &h : handlers_) targets.push_back(h.name);
    }
    return targets;
}

// DEEPEST: the frame and the deepest callee's, a task entry that the
// kernel runs counted as nothing (the chain of levels counts it).
// TO_ENTRY: the depth at which a task entry is called from under the
// function, if one is. TO_HANDLER: the same for the call of a handler
// through a pointer that nothing resolves, under the dispatcher.
Depth Program::Walk(const std::string &title, Measure measure) {
    const auto key = std::make_pair(title, static_cast<int>(measure));
    const auto memo = memo_.find(key);
    if (memo != memo_.end()) return memo->second;
    const bool deepest = measure == Measure::DEEPEST;
    Depth result;
    result.reached = false;
    if (absent_.count(title) != 0) return memo_[key] = result; // never called: nothing is there
    const Function &f = functions_[title];
    // A weak function's definition carries its file in its title, as a
    // file-local one's does: a call by the symbol alone reaches it.
    if (!f.has_frame && title.find(':') == std::string::npos) {
        const std::string weak = ":" + title;
        std::vector<std::string> defined;
        for (const auto &[other, g] : functions_) {
            if (g.has_frame && other.size() > weak.size() &&
                other.compare(other.size() - weak.size(), weak.size(), weak) == 0) {
                defined.push_back(other);
            }
        }
        if (defined.size() == 1) return memo_[key] = Walk(defined[0], measure);
    }
    const auto declared = bounds_.find(title);
    if (declared != bounds_.end()) {
        result.bytes = deepest ? declared->second : 0;
        result.reached = deepest;
        result.chain = {title};
        return memo_[key] = result;
    }
    const bool recursive = std::find(walking_.begin(), walking_.end(), title) != walking_.end();
    if (recursive || !f.has_frame || f.dynamic) {
        if (!deepest) return result; // no known path to a call from there
        result.bounded = false;
        result.reason = recursive     ? "recursion"
                        : f.has_frame ? "alloca or a variable-length array"
                                      : "no stack information";
        result.chain = {title};
        return recursive ? result : memo_[key] = result;
    }
    walking_.push_back(title);
    Depth worst;
    uint64_t worst_total = 0; // over the function's entry: its frame and the callee's, or a tail call's alone
    bool any = false;
    for (const std::string &callee : f.callees) {
        Depth d;
        if (!stops_ && callee != INDIRECT && EndsRun(functions_[callee])) continue;
        if (callee != INDIRECT) {
            d = Walk(callee, measure);
        } else if (IsEntryCaller(f)) { // a task entry
            d.reached = measure != Measure::TO_HANDLER;
            if (measure == Measure::TO_ENTRY) d.chain = {"(task entry)"};
        } else {
            const std::vector<std::string> targets = Targets(f);
            if (targets.empty()) {
                if (measure == Measure::TO_HANDLER) {
                    d.chain = {"(handler)"};
                } else if (deepest) {
                    d.bounded = false;
                    d.reason = "a call through a function pointer that the task set does not resolve";
                    d.chain = {"(pointer)"};
                } else {
                    d.reached = false;
                }
            } else {
                d.reached = false;
                for (const std::string &target : targets) {
                    const Depth t = Walk(target, measure);
                    if (!t.bounded) {
                        d = t;
                        break;
                    }
                    if (t.reached && (!d.reached || t.bytes > d.bytes)) d = t;
                }
            }
        }
        if (!d.bounded) {
            walking_.pop_back();
            d.chain.insert(d.chain.begin(), title);
            return memo_[key] = d;
        }
        if (!d.reached) continue;
        // A tail call jumps once the caller's frame is gone.
        const uint64_t total = d.bytes + (tail_calls_.count({title, callee}) != 0 ? 0 : f.frame);
        if (!any || total > worst_total) {
            worst = d;
            worst_total = total;
        }
        any = true;
    }
    walking_.pop_back();
    if (!deepest && !any) return memo_[key] = result;
    result.reached = true;
    result.bytes = any ? worst_total : f.frame;
    if (any) result.chain = worst.chain;
    if (deepest && result.bytes < f.frame) { // the frame itself, before a shallower tail call
        result.bytes = f.frame;
        result.chain.clear();
    }
    result.chain.insert(result.chain.begin(), title);
    return memo_[key] = result;
}

std::string Program::Display(const std::string &title) const {
    const auto f = functions_.find(title);
    if (f == functions_.end() || f->second.label.empty() || f->second.label.find('\n') == std::string::npos) {
        return title;
    }
    if (!f->second.has_frame) return title; // a label the graph only calls may be garbled
    const std::string plain = PlainName(f->second.label);
    return plain.empty() ? title : plain;
}

std::string Program::Chain(const Depth &d) const {
    std::vector<std::string> names;
    for (const std::string &title : d.chain) names.push_back(Display(title));
    return Join(names, " > ");
}

Depth Program::Deepest(const std::string &name) { return Walk(name, Measure::DEEPEST); }

Bound Program::Compute() {
    // A run's end (a stop's report, or a function that ends the run) masks
    // every interrupt, is never preempted and nothing returns from it: it
    // stacks once, at the top, over what lies beneath the start, the task
    // or the handler that calls it. Beneath the start, nothing; beneath a
    // task, the start's path to the first entry and each lower priority's
    // cost; beneath a handler, the chain through the tasks and the less
    // urgent handler levels. So each caller's deepest with its run's end
    // is a candidate beside the staircase, which counts none.
    CountStops(false);
    Bound bound = ComputeLevels();
    if (!bound.bounded) return bound;
    std::vector<std::pair<std::string, Depth>> without;
    without.emplace_back(start_, Walk(start_, Measure::DEEPEST));
    for (const Task &t : tasks_) without.emplace_back(t.entry, Walk(t.entry, Measure::DEEPEST));
    for (const Handler &h : handlers_) without.emplace_back(h.name, Walk(h.name, Measure::DEEPEST));
    CountStops(true);
    const std::vector<Term> staircase = bound.terms;
    const size_t task_terms = staircase.size() - handler_levels_.size();
    for (size_t i = 0; i < without.size(); ++i) {
        const auto &[place, d] = without[i];
        const Depth with = Walk(place, Measure::DEEPEST);
        if (!with.bounded) {
            bound.bounded = false;
            bound.reason = with.reason + ", in " + Chain(with) + " (from " + Display(place) + ")";
            return bound;
        }
        if (with.bytes == d.bytes) continue; // no run's end deeper than the place's own
        std::vector<Term> terms;
        if (i == 0) {
            terms.push_back({"start, to the run's end: " + Chain(with), with.bytes});
        } else if (i <= tasks_.size()) {
            const Task &t = tasks_[i - 1];
            terms = beneath_[t.priority];
            terms.push_back({"priority " + std::to_string(t.priority) + " " + Display(t.entry) +
                                 ", to the run's end: " + Chain(with),
                             with.bytes});
        } else {
            const Handler &h = handlers_[i - 1 - tasks_.size()];
            terms.assign(staircase.begin(), staircase.begin() + static_cast<ptrdiff_t>(task_terms));
            for (size_t k = 0; k < handler_levels_.size() && handler_levels_[k] > h.level; ++k) {
                terms.push_back(staircase[task_terms + k]);
            }
            terms.push_back(HandlerTerm(h, with, ", to the run's end"));
        }
        uint64_t bytes = 0;
        for (const Term &term : terms) bytes += term.bytes;
        if (bytes > bound.bytes) {
            bound.terms = terms;
            bound.bytes = bytes;
            if (i > 0) { // through the tasks now
                bound.through_tasks.clear();
                bound.through_tasks_bytes = 0;
            }
        }
    }
    return bound;
}

// A function whose address the program takes may be an entry that the
// kernel runs: one that the task set runs as nothing (no task, handler,
// pointer's target, stop handler or the start) would count as nothing.
std::string Program::UndeclaredEntry() const {
    for (const std::string &f : taken_) {
        bool known = f == start_ || f == dispatcher_ || bounds_.count(f) != 0 ||
                     std::find(stop_handlers_.begin(), stop_handlers_.end(), f) != stop_handlers_.end() ||
                     std::find(ends_run_.begin(), ends_run_.end(), f) != ends_run_.end();
        for (const Task &t : tasks_) known = known || t.entry == f;
        for (const Handler &h : handlers_) known = known || h.name == f;
        for (const auto &[caller, targets] : calls_) {
            known = known || std::find(targets.begin(), targets.end(), f) != targets.end();
        }
        if (!known) return f;
    }
    return "";
}

Bound Program::ComputeLevels() {
    Bound bound;
    const std::string undeclared = UndeclaredEntry();
    if (!undeclared.empty()) {
        bound.bounded = false;
        bound.reason = "the program takes the address of " + Display(undeclared) +
                       ", which the task set names as no task, handler or pointer's target: an entry "
                       "that the kernel ran would count as nothing";
        return bound;
    }
    auto fail = [&](const Depth &d, const std::string &of) {
        bound.bounded = false;
        bound.reason = d.reason + ", in " + Chain(d) + " (from " + of + ")";
        return bound;
    };
    auto chain = [this](const Depth &d) { return Chain(d); };
    const Depth all = Walk(start_, Measure::DEEPEST);
    if (!all.bounded) return fail(all, "the start");
    const Depth start = Walk(start_, Measure::TO_ENTRY);
    // An interrupt exit's dispatch runs above the interrupt's frame.
    Depth exit;
    for (const auto &[title, f] : functions_) {
        if (PlainName(f.label) == "onestack::DispatchAtInterruptExit" && f.has_frame) {
            exit = Walk(title, Measure::TO_ENTRY);
        }
    }
    const bool interrupts = !handlers_.empty() && target_->interrupt_frame > 0;

    // Per priority, the worst cost of a task there as a level below others,
    // and the worst task to end a chain.
    std::map<int32_t, Term> level;
    std::map<int32_t, std::pair<Term, std::string>> top;
    for (const Task &task : tasks_) {
        const Depth deepest = Walk(task.entry, Measure::DEEPEST);
        if (!deepest.bounded) return fail(deepest, "task " + task.entry);
        const Depth to_entry = Walk(task.entry, Measure::TO_ENTRY);
        const std::string entry = Display(task.entry);
        Term cost{"priority " + std::to_string(task.priority) + " " + entry + ", activating at " +
                      std::to_string(to_entry.bytes) + " (" + chain(to_entry) + ")",
                  to_entry.bytes};
        if (interrupts) {
            const uint64_t at_exit = deepest.bytes + target_->interrupt_frame + exit.bytes;
            if (at_exit > cost.bytes) {
                cost = {"priority " + std::to_string(task.priority) + " " + entry +
                            ", interrupted at its deepest " + std::to_string(deepest.bytes) + " (" +
                            chain(deepest) + ") + frame " + std::to_string(target_->interrupt_frame) +
                            " + exit dispatch " + std::to_string(exit.bytes),
                        at_exit};
            }
        }
        if (level.count(task.priority) == 0 || cost.bytes > level[task.priority].bytes)
            level[task.priority] = cost;
        const Term last{"priority " + std::to_string(task.priority) + " " + entry + ", its deepest (" +
                            chain(deepest) + ")",
                        deepest.bytes};
        if (top.count(task.priority) == 0 || last.bytes > top[task.priority].first.bytes) {
            top[task.priority] = {last, task.entry};
        }
    }
    // The worst chain ends at some priority; below it, every lower priority.
    std::vector<Term> worst_terms;
    uint64_t worst = 0;
    uint64_t below = 0;
    std::vector<Term> lower;
    for (const auto &[priority, last] : top) {
        if (below + last.first.bytes >= worst) {
            worst = below + last.first.bytes;
            worst_terms = lower;
            worst_terms.push_back(last.first);
        }
        below += level[priority].bytes;
        lower.push_back(level[priority]);
    }
    // Handlers nest by level, the most urgent last; each over a frame.
    std::map<int32_t, Term> nesting;
    for (const Handler &h : handlers_) {
        const Depth d = Walk(h.name, Measure::DEEPEST);
        if (!d.bounded) return fail(d, "handler " + h.name);
        const Term term = HandlerTerm(h, d, "");
        if (nesting.count(h.level) == 0 || term.bytes > nesting[h.level].bytes) nesting[h.level] = term;
    }
    const uint64_t tasks = start.bytes + worst;
    const Term first{"start " + chain(start), start.bytes};
    // What lies beneath a task at each priority, for a run's end there.
    beneath_.clear();
    std::vector<Term> under{first};
    for (const auto &[priority, cost] : level) {
        beneath_[priority] = under;
        under.push_back(cost);
    }
    bound.terms.push_back(first);
    if (all.bytes > tasks) {
        bound.through_tasks = bound.terms;
        bound.through_tasks.insert(bound.through_tasks.end(), worst_terms.begin(), worst_terms.end());
        bound.through_tasks_bytes = tasks;
        bound.terms = {{"start, outside the tasks: " + chain(all), all.bytes}};
    } else {
        bound.terms.insert(bound.terms.end(), worst_terms.begin(), worst_terms.end());
    }
    bound.bytes = std::max(all.bytes, tasks);
    handler_levels_.clear();
    for (auto it = nesting.rbegin(); it != nesting.rend(); ++it) {
        bound.terms.push_back(it->second);
        handler_levels_.push_back(it->first);
        bound.bytes += it->second.bytes;
    }
    return bound;
}

// A handler's term: the interrupt's frame, the board's dispatcher up to the
// call, and the handler's depth `d`.
Term Program::HandlerTerm(const Handler &h, const Depth &d, const std::string &what) {
    const Depth dispatch = dispatcher_.empty() ? Depth{} : Walk(dispatcher_, Measure::TO_HANDLER);
    return {"handler level " + std::to_string(h.level) + " " + Display(h.name) + what + ": frame " +
                std::to_string(target_->interrupt_frame) +
                (dispatcher_.empty() ? "" : " + dispatcher " + std::to_string(dispatch.bytes)) + " + " +
                std::to_string(d.bytes) + " (" + Chain(d) + ")",
            target_->interrupt_frame + dispatch.bytes + d.bytes};
}

} // namespace onestack_stack
