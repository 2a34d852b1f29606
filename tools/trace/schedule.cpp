#include "schedule.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "onestack.h"

namespace trace {

namespace {

void Extend(std::vector<Stretch> &stretches, double start, double end) {
    if (end <= start) return;
    if (!stretches.empty() && stretches.back().end == start) {
        stretches.back().end = end;
    } else {
        stretches.push_back({start, end});
    }
}

void ExtendRaised(std::vector<Raised> &stretches, double start, double end, int32_t priority) {
    if (end <= start) return;
    if (!stretches.empty() && stretches.back().end == start && stretches.back().priority == priority) {
        stretches.back().end = end;
    } else {
        stretches.push_back({start, end, priority});
    }
}

// The length of the UTF-8 sequence that starts `text` at `i`, or 0 if none
// well-formed does.
size_t Utf8Length(const std::string &text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    const size_t length = lead >= 0xF0 && lead <= 0xF4  ? 4
                          : lead >= 0xE0                ? 3
                          : lead >= 0xC2 && lead < 0xE0 ? 2
                                                        : 0;
    if (length == 0 || i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    }
    return length;
}

// For JSON strings and XML text: well-formed UTF-8 passes, the format's
// own characters are escaped, control characters and broken bytes become
// U+FFFD.
std::string Escaped(const std::string &text, bool xml) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        if (xml && (c == '<' || c == '>' || c == '&' || c == '"')) {
            out += c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : "&quot;";
        } else if (!xml && (c == '"' || c == '\\')) {
            out += '\\';
            out += c;
        } else if (byte >= 0x20 && byte < 0x7F) {
            out += c;
        } else if (const size_t length = byte >= 0x80 ? Utf8Length(text, i) : 0; length > 0) {
            out += text.substr(i, length);
            i += length - 1;
        } else {
            out += "\xEF\xBF\xBD";
        }
    }
    return out;
}

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

// A whole number of any size a time may have: a 64-bit clock's nanoseconds
// pass the largest long long.
std::string Whole(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", value);
    return text;
}

// What the builder knows of a task record.
struct Record {
    int row = -1;
    int holds = 0;
    int32_t current = 0;
    bool waiting = false; // activated, its entry not yet begun
    bool terminated = false;
    int flow_from = -2; // the activator's row for the next entry, -1 a handler; -2 none
    double activated = 0;
};

// An entry under way: `awaiting` while it is suspended in the kernel, from
// a preemption or the return of the entry above it until it resumes.
struct Frame {
    int record;
    size_t slice;
    bool awaiting;
};

class Builder {
public:
    Builder(const Trace &trace, bool by_sequence) : trace_(trace) {
        schedule_.nanoseconds = trace.nanoseconds && !by_sequence;
        if (schedule_.nanoseconds) schedule_.resolution = trace.resolution;
    }

    Schedule Build() {
        Seed();
        for (size_t n = 0; n < trace_.events.size(); ++n) {
            const Event &e = trace_.events[n];
            // A clock that runs backwards (a corrupt trace) stands still instead.
            const uint64_t first = trace_.events[0].time;
            const double clocked = e.time > first ? static_cast<double>(e.time - first) : 0;
            const double now = std::max(previous_, schedule_.nanoseconds ? clocked : static_cast<double>(n));
            Account(now);
            Apply(e, now);
            Level(now);
        }
        schedule_.end = previous_ + (schedule_.nanoseconds ? 0 : 1);
        Account(schedule_.end);
        for (const Frame &open : stack_) schedule_.slices[open.slice].end = schedule_.end;
        SortRows();
        return schedule_;
    }

private:
    int RowOf(const std::string &name, int32_t priority) {
        auto [it, added] = row_of_name_.emplace(name, schedule_.rows.size());
        if (added) schedule_.rows.push_back({name, priority, {}, {}, {}, {}});
        return static_cast<int>(it->second);
    }

    Record *RecordOf(int task) { return task >= 0 && task < MAX_TASKS ? &records_[size_t(task)] : nullptr; }

    Frame *FrameOf(int task) {
        for (Frame &frame : stack_) {
            if (frame.record == task) return &frame;
        }
        return nullptr;
    }

    bool IsRunning(const Frame &frame) const { return &frame == &stack_.back() && !frame.awaiting; }

    std::string NameOf(int task) {
        const Record *r = RecordOf(task);
        return r != nullptr && r->row >= 0 ? schedule_.rows[size_t(r->row)].name
                                           : "record " + std::to_string(task);
    }

    // The tasks live when the kept events begin, as the dump's snapshot
    // gives them: their entries under way from the start, outermost first.
    void Seed() {
        std::vector<LiveTask> live = trace_.live;
        std::stable_sort(live.begin(), live.end(),
                         [](const LiveTask &x, const LiveTask &y) { return x.place < y.place; });
        for (const LiveTask &t : live) {
            Record &r = records_[size_t(t.record)];
            r.row = RowOf(t.name.empty() ? "record " + std::to_string(t.record) : t.name, t.priority);
            r.holds = t.holds;
            r.current = t.current;
            r.terminated = t.terminated;
            r.waiting = t.place < 0;
            if (t.place >= 0) {
                stack_.push_back({t.record, schedule_.slices.size(), false});
                schedule_.slices.push_back({size_t(r.row), 0, 0});
            }
        }
        for (size_t i = 0; i + 1 < stack_.size(); ++i) stack_[i].awaiting = true;
        Level(0);
    }

    // What held from the last event until `now`.
    void Account(double now) {
        for (const Frame &frame : stack_) {
            const Record &r = records_[size_t(frame.record)];
            if (r.row < 0) continue;
            Row &row = schedule_.rows[size_t(r.row)];
            Extend(IsRunning(frame) ? row.running : row.preempted, previous_, now);
        }
        for (const Record &r : records_) {
            if (r.row < 0) continue;
            Row &row = schedule_.rows[size_t(r.row)];
            if (r.waiting) Extend(row.waiting, previous_, now);
            if (r.holds > 0) ExtendRaised(row.holding, previous_, now, r.current);
        }
        previous_ = now;
    }

    void Apply(const Event &e, double now) {
        Record *r = RecordOf(e.task);
        Frame *frame = FrameOf(e.task);
        switch (e.kind) {
        case TRACE_ACTIVATED:
        case TRACE_ACTIVATED_BY_HANDLER: {
            if (r == nullptr) break; // no record: a corrupt trace
            const bool by_handler = e.kind == TRACE_ACTIVATED_BY_HANDLER;
            const int from = !by_handler && !stack_.empty() && IsRunning(stack_.back())
                                 ? records_[size_t(stack_.back().record)].row
                                 : -1;
            *r = Record{};
            r->row = RowOf(e.name.empty() ? "record " + std::to_string(e.task) : e.name, e.a);
            r->current = e.a;
            r->waiting = true;
            r->flow_from = from;
            r->activated = now;
            schedule_.marks.push_back({now,
                                       schedule_.rows[size_t(r->row)].name +
                                           (by_handler ? " activated by a handler" : " activated") +
                                           " at priority " + std::to_string(e.a),
                                       r->row, by_handler, true});
            break;
        }
        case TRACE_ENTERED:
            if (r == nullptr || r->row < 0) break;
            r->waiting = false;
            r->current = e.a;
            if (r->flow_from != -2)
                schedule_.flows.push_back({r->flow_from, size_t(r->row), r->activated, now});
            r->flow_from = -2;
            stack_.push_back({e.task, schedule_.slices.size(), false});
            schedule_.slices.push_back({size_t(r->row), now, now});
            break;
        case TRACE_RETURNED:
            // An entry whose call began before the kept events, with no snapshot, has no slice.
            if (stack_.empty() || stack_.back().record != e.task) break;
            schedule_.slices[stack_.back().slice].end = now;
            schedule_.slices[stack_.back().slice].returned = true;
            stack_.pop_back();
            // The entry below continues only once the kernel says so.
            if (!stack_.empty()) stack_.back().awaiting = true;
            if (r != nullptr) {
                // An entry that returns without terminating waits to be entered again.
                r->waiting = !r->terminated;
                if (r->terminated) r->holds = 0;
            }
            break;
        case TRACE_PREEMPTED:
            if (frame != nullptr) frame->awaiting = true;
            break;
        case TRACE_RESUMED:
            if (frame != nullptr) frame->awaiting = false;
            break;
        case TRACE_EXIT_DISPATCH:
            if (!stack_.empty()) stack_.back().awaiting = true;
            schedule_.marks.push_back({now, "dispatch at interrupt exit", -1, true});
            break;
        case TRACE_EXIT_DISPATCH_ENDED:
            if (!stack_.empty()) stack_.back().awaiting = false;
            break;
        case TRACE_HANDLER_BEGAN:
            handlers_open_.push_back({e.name, now, now});
            schedule_.marks.push_back({now, e.name + " begins", -1, true});
            break;
        case TRACE_HANDLER_ENDED:
            // Handlers nest: the end is the innermost's. One begun before
            // the kept events has no run.
            if (handlers_open_.empty()) break;
            handlers_open_.back().end = now;
            schedule_.marks.push_back({now, handlers_open_.back().name + " ends", -1, true});
            schedule_.handler_runs.push_back(handlers_open_.back());
            handlers_open_.pop_back();
            break;
        case TRACE_TIMER_EXPIRED:
            schedule_.marks.push_back({now,
                                       "timer " + std::to_string(e.a) +
                                           (e.b != 0 ? " expires: missed, no free task record" : " expires"),
                                       -1, true});
            break;
        case TRACE_TERMINATED:
            if (r != nullptr) r->terminated = true;
            if (frame != nullptr) frame->awaiting = false;
            schedule_.marks.push_back(
                {now, NameOf(e.task) + " terminates", r != nullptr ? r->row : -1, false});
            break;
        default: // acquired, released
            if (r != nullptr) {
                r->holds = std::max(0, r->holds + (e.kind == TRACE_ACQUIRED ? 1 : -1));
                r->current = e.a;
                if (e.kind == TRACE_ACQUIRED && r->row >= 0 && size_t(r->row) < schedule_.rows.size())
                    schedule_.rows[size_t(r->row)].acquired = true;
            }
            if (frame != nullptr) frame->awaiting = false;
            schedule_.marks.push_back(
                {now,
                 NameOf(e.task) + (e.kind == TRACE_ACQUIRED ? " acquires" : " releases") + " ceiling " +
                     std::to_string(e.b) + ", runs at " + std::to_string(e.a),
                 r != nullptr ? r->row : -1, false});
            break;
        }
    }

    void Level(double now) {
        const int32_t level =
            !stack_.empty() && IsRunning(stack_.back()) ? records_[size_t(stack_.back().record)].current : -1;
        if (schedule_.levels.empty() || schedule_.levels.back().priority != level) {
            if (!schedule_.levels.empty() && schedule_.levels.back().time == now) {
                schedule_.levels.back().priority = level;
            } else {
                schedule_.levels.push_back({now, level});
            }
        }
    }

    // Highest priority on top; rows are renumbered, so what names them follows.
    void SortRows() {
        std::vector<size_t> order(schedule_.rows.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) {
            return schedule_.rows[x].priority > schedule_.rows[y].priority;
        });
        std::vector<size_t> new_index(order.size());
        std::vector<Row> rows;
        for (size_t i = 0; i < order.size(); ++i) {
            new_index[order[i]] = i;
            rows.push_back(schedule_.rows[order[i]]);
        }
        schedule_.rows = rows;
        for (Slice &slice : schedule_.slices) slice.row = new_index[slice.row];
        for (Mark &mark : schedule_.marks) {
            if (mark.row >= 0) mark.row = static_cast<int>(new_index[size_t(mark.row)]);
        }
        for (Flow &flow : schedule_.flows) {
            flow.row = new_index[flow.row];
            if (flow.from >= 0) flow.from = static_cast<int>(new_index[size_t(flow.from)]);
        }
    }

    const Trace &trace_;
    Schedule schedule_;
    std::map<std::string, size_t> row_of_name_;
    std::vector<Record> records_ = std::vector<Record>(MAX_TASKS);
    std::vector<Frame> stack_;
    std::vector<HandlerRun> handlers_open_; // begun, not yet ended, innermost last
    double previous_ = 0;
};

// How the outputs name the time unit.
const char *UnitNote(const Schedule &schedule) {
    return schedule.nanoseconds ? "nanoseconds" : "steps: one per event, in order; not a time";
}

} // namespace

Schedule BuildSchedule(const Trace &trace, bool by_sequence) { return Builder(trace, by_sequence).Build(); }

// Perfetto, Chrome's DevTools and speedscope: the entries as begin and end
// events on one track, which nest as the calls did; the kernel's marks as
// instant events; activations as flows from the activator to the entry;
// the running priority as a counter. Times in microseconds; a trace
// without a clock has one per event, and says so.
std::string ChromeJson(const Schedule &schedule) {
    const double unit = schedule.nanoseconds ? 0.001 : 1;
    struct Edge {
        double time;
        bool begin;
        size_t slice;
    };
    std::vector<Edge> edges;
    for (size_t i = 0; i < schedule.slices.size(); ++i) {
        edges.push_back({schedule.slices[i].start, true, i});
        edges.push_back({schedule.slices[i].end, false, i});
    }
    // At one time, ends before begins, inner ends before outer ones.
    std::stable_sort(edges.begin(), edges.end(), [](const Edge &x, const Edge &y) {
        if (x.time != y.time) return x.time < y.time;
        if (x.begin != y.begin) return !x.begin;
        return x.begin ? x.slice < y.slice : x.slice > y.slice;
    });
    const std::string where = ",\"pid\":1,\"tid\":1";
    const auto at = [&](double time) { return ",\"ts\":" + Number(time * unit); };
    std::string out = std::string("{\"displayTimeUnit\":\"ns\",\"otherData\":{\"time unit\":\"") +
                      UnitNote(schedule) + "\"},\"traceEvents\":[\n";
    out += "{\"name\":\"process_name\",\"ph\":\"M\",\"cat\":\"__metadata\"" + where +
           ",\"args\":{\"name\":\"onestack\"}}";
    out += ",\n{\"name\":\"thread_name\",\"ph\":\"M\",\"cat\":\"__metadata\"" + where +
           ",\"args\":{\"name\":\"" +
           (schedule.nanoseconds ? "the one stack" : "the one stack, in steps (not times)") + "\"}}";
    for (const Edge &edge : edges) {
        const Row &row = schedule.rows[schedule.slices[edge.slice].row];
        out += ",\n{\"name\":\"" + Escaped(row.name, false) + "\",\"ph\":\"" + (edge.begin ? "B" : "E") +
               "\",\"cat\":\"task\"" + at(edge.time) + where + "}";
    }
    for (const Mark &mark : schedule.marks) {
        out += ",\n{\"name\":\"" + Escaped(mark.text, false) + "\",\"ph\":\"i\",\"s\":\"t\",\"cat\":\"" +
               (mark.interrupt ? "interrupt" : "kernel") + "\"" + at(mark.time) + where + "}";
    }
    for (size_t i = 0; i < schedule.flows.size(); ++i) {
        const Flow &flow = schedule.flows[i];
        const std::string id = ",\"id\":" + std::to_string(i + 1);
        out += ",\n{\"name\":\"activation\",\"ph\":\"s\",\"cat\":\"activation\"";
        out += id;
        out += at(flow.activated) + where + "}";
        out += ",\n{\"name\":\"activation\",\"ph\":\"f\",\"bp\":\"e\",\"cat\":\"activation\"";
        out += id;
        out += at(flow.entered) + where + "}";
    }
    for (const Level &level : schedule.levels) {
        out += ",\n{\"name\":\"running priority\",\"ph\":\"C\",\"cat\":\"priority\"" + at(level.time) +
               where + ",\"args\":{\"priority\":" + std::to_string(level.priority) + "}}";
    }
    return out + "\n]}\n";
}

namespace {

// VCD identifier codes: printable ASCII, as many characters as it takes.
std::string VcdId(size_t n) {
    std::string id;
    do {
        id += static_cast<char>('!' + n % 94);
        n /= 94;
    } while (n > 0);
    return id;
}

// A VCD reference: letters, digits and underscores; a space becomes an
// underscore and every other byte _xHH, so no name can end a declaration.
std::string VcdName(const std::string &name) {
    std::string out;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_') {
            out += c;
        } else if (c == ' ') {
            out += '_';
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "_x%02X", byte);
            out += hex;
        }
    }
    return out.empty() ? "_" : out;
}

// The union of stretch lists, as sorted, merged stretches.
std::vector<Stretch> Union(std::vector<Stretch> all) {
    std::sort(all.begin(), all.end(), [](const Stretch &x, const Stretch &y) { return x.start < y.start; });
    std::vector<Stretch> merged;
    for (const Stretch &s : all) {
        if (!merged.empty() && s.start <= merged.back().end) {
            merged.back().end = std::max(merged.back().end, s.end);
        } else {
            merged.push_back(s);
        }
    }
    return merged;
}

} // namespace

// GTKWave and PulseView: two wires per task, plain 0 and 1 that every
// viewer reads alike: `running`, and `waiting` while it is preempted or
// activated but not begun.
std::string Vcd(const Schedule &schedule) {
    std::string out = "$comment onestack trace; time in " + std::string(UnitNote(schedule)) + " $end\n";
    out += std::string("$timescale ") + (schedule.nanoseconds ? "1ns" : "1us") + " $end\n";
    out += "$scope module onestack $end\n";
    std::map<std::string, int> used;
    for (size_t r = 0; r < schedule.rows.size(); ++r) {
        std::string name = VcdName(schedule.rows[r].name);
        if (used[name]++ > 0) name += "_" + std::to_string(r); // two names made safe alike
        out += "$var wire 1 " + VcdId(2 * r) + " " + name + "_running $end\n";
        out += "$var wire 1 " + VcdId(2 * r + 1) + " " + name + "_waiting $end\n";
    }
    out += "$upscope $end\n$enddefinitions $end\n";
    // Times beyond 10^19 ns (three centuries) are no real run's: clamped.
    const auto at = [](double t) {
        return t < 1e19 ? static_cast<uint64_t>(t) : uint64_t{10000000000000000000u};
    };
    std::map<uint64_t, std::map<size_t, char>> changes; // per time, per wire: the value from then on
    for (size_t r = 0; r < schedule.rows.size(); ++r) {
        const Row &row = schedule.rows[r];
        std::vector<Stretch> waiting = row.preempted;
        waiting.insert(waiting.end(), row.waiting.begin(), row.waiting.end());
        const std::vector<Stretch> wires[2] = {Union(row.running), Union(waiting)};
        for (size_t w = 0; w < 2; ++w) {
            changes[0].emplace(2 * r + w, '0');
            for (const Stretch &s : wires[w]) {
                if (at(s.end) <= at(s.start)) continue;
                changes[at(s.start)][2 * r + w] = '1';
                changes[at(s.end)][2 * r + w] = '0';
            }
        }
    }
    uint64_t last = 0;
    for (const auto &[time, wires] : changes) {
        out += "#" + std::to_string(time) + "\n";
        for (const auto &[wire, value] : wires) out += std::string(1, value) + VcdId(wire) + "\n";
        last = time;
    }
    // One step past the last change, so that a viewer draws that change.
    return out + "#" + std::to_string(std::max(at(schedule.end), last + 1)) + "\n";
}

// A timeline: a row per task, highest priority on top; running solid,
// preempted hatched, waiting outlined, a held ceiling shaded beneath with
// the priority it raises the task to; activations marked on their task's
// row, interrupts in red above; a time axis with its unit.
std::string Svg(const Schedule &schedule) {
    size_t longest = 0;
    for (const Row &row : schedule.rows) {
        longest = std::max(longest, row.name.size() + 14 + std::to_string(row.priority).size());
    }
    const double label = 16 + 7.5 * static_cast<double>(longest);
    const double row_height = 28;
    const double width = 760;
    const double top = 24;
    const double scale = schedule.end > 0 ? width / schedule.end : 1;
    const double axis = top + row_height * static_cast<double>(schedule.rows.size());
    const double height = axis + 66;
    const auto x = [&](double t) { return Number(label + t * scale); };
    std::string out = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Number(label + width + 24) +
                      "\" height=\"" + Number(height) + "\" font-family=\"sans-serif\" font-size=\"13\">\n";
    out += "<defs><pattern id=\"preempted\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\">"
           "<path d=\"M0,6 L6,0\" stroke=\"#4a6fa5\" stroke-width=\"1.5\"/></pattern></defs>\n";
    out += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    for (size_t r = 0; r < schedule.rows.size(); ++r) {
        const Row &row = schedule.rows[r];
        const double y = top + row_height * static_cast<double>(r);
        out += "<text x=\"8\" y=\"" + Number(y + 18) + "\">" + Escaped(row.name, true) + " (priority " +
               std::to_string(row.priority) + ")</text>\n";
        out += "<line x1=\"" + Number(label) + "\" x2=\"" + Number(label + width) + "\" y1=\"" +
               Number(y + 22) + "\" y2=\"" + Number(y + 22) + "\" stroke=\"#ccc\"/>\n";
        const auto rect = [&](double start, double end, double dy, double h, const std::string &style) {
            out += "<rect x=\"" + x(start) + "\" y=\"" + Number(y + dy) + "\" width=\"" +
                   Number((end - start) * scale) + "\" height=\"" + Number(h) + "\" " + style + "/>\n";
        };
        for (const Raised &s : row.holding) {
            rect(s.start, s.end, 2, 22, "fill=\"#f2d49b\"");
            out += "<text x=\"" + x(s.start) + "\" y=\"" + Number(y + 1) +
                   "\" font-size=\"10\" fill=\"#8a5a00\">at " + std::to_string(s.priority) + "</text>\n";
        }
        for (const Stretch &s : row.waiting) rect(s.start, s.end, 7, 12, "fill=\"none\" stroke=\"#4a6fa5\"");
        for (const Stretch &s : row.preempted) rect(s.start, s.end, 6, 14, "fill=\"url(#preempted)\"");
        for (const Stretch &s : row.running) rect(s.start, s.end, 6, 14, "fill=\"#4a6fa5\"");
    }
    for (const Mark &mark : schedule.marks) {
        if (!mark.activation && !mark.interrupt) continue;
        const double y = mark.row >= 0 ? top + row_height * static_cast<double>(mark.row) + 6 : top - 8;
        const double at = label + mark.time * scale;
        out += "<path d=\"M" + Number(at - 4) + "," + Number(y - 6) + " L" + Number(at + 4) + "," +
               Number(y - 6) + " L" + Number(at) + "," + Number(y) + " Z\" fill=\"" +
               (mark.interrupt ? "#c0392b" : "#333") + "\"><title>" + Escaped(mark.text, true) +
               "</title></path>\n";
    }
    // The axis: about eight ticks at a round step.
    out += "<line x1=\"" + Number(label) + "\" x2=\"" + Number(label + width) + "\" y1=\"" +
           Number(axis + 4) + "\" y2=\"" + Number(axis + 4) + "\" stroke=\"#666\"/>\n";
    double step = 1; // 1, 2, 5, 10, 20, 50 ...
    for (int k = 0; schedule.end / step > 8; ++k) step *= k % 3 == 1 ? 2.5 : 2;
    for (double t = 0; t <= schedule.end; t += step) {
        out += "<text x=\"" + x(t) + "\" y=\"" + Number(axis + 18) +
               "\" font-size=\"10\" fill=\"#666\" text-anchor=\"middle\">" + Whole(t) + "</text>\n";
    }
    out += "<text x=\"" + Number(label + width) + "\" y=\"" + Number(axis + 30) +
           "\" font-size=\"10\" fill=\"#666\" text-anchor=\"end\">" +
           (schedule.nanoseconds ? "time (ns)" : "step (one per event, not a time)") + "</text>\n";
    out += "<text x=\"" + Number(label) + "\" y=\"" + Number(height - 20) +
           "\" fill=\"#666\">solid: running; hatched: preempted; outlined: waiting; shaded: holding a "
           "ceiling</text>\n";
    out += "<text x=\"" + Number(label) + "\" y=\"" + Number(height - 4) +
           "\" fill=\"#666\">triangles: activations (red: by an interrupt, or the dispatch at its "
           "exit)</text>\n";
    return out + "</svg>\n";
}

namespace {

// The time within [from, to] that `stretches` cover.
double Covered(const std::vector<Stretch> &stretches, double from, double to) {
    double sum = 0;
    for (const Stretch &s : stretches) sum += std::max(0.0, std::min(s.end, to) - std::max(s.start, from));
    return sum;
}

// The longest time in which no task ran while an activation waited for
// its entry or its return: the kernel's switch from one task to another,
// or an interrupt's exit to the task it runs.
double LongestGap(const Schedule &schedule, const std::vector<Stretch> &responses) {
    std::vector<Stretch> ran;
    for (const Row &row : schedule.rows) ran.insert(ran.end(), row.running.begin(), row.running.end());
    std::sort(ran.begin(), ran.end(), [](const Stretch &a, const Stretch &b) { return a.start < b.start; });
    double longest = 0;
    double until = ran.empty() ? 0 : ran[0].end;
    for (size_t i = 1; i < ran.size(); ++i) {
        const Stretch gap{until, ran[i].start};
        until = std::max(until, ran[i].end);
        if (gap.end <= gap.start) continue;
        for (const Stretch &r : responses) {
            if (r.start <= gap.start && gap.end <= r.end) longest = std::max(longest, gap.end - gap.start);
        }
    }
    return longest;
}

// Rounded up: the figures are upper bounds.
std::string Nanoseconds(double t) { return std::to_string(std::llround(std::ceil(t - 1e-6))) + "ns"; }

} // namespace

std::string Times(const Schedule &schedule) {
    std::string text = "# What each task's activations showed in a trace: maxima of what ran,\n"
                       "# not worst cases. Lines of a task set, for onestack_timing.\n";
    if (!schedule.nanoseconds) return text + "# (the trace has no clock: no times)\n";
    struct Seen {
        unsigned activations = 0;
        double response = 0, execution = 0, blocking = 0;
    };
    std::vector<Seen> seen(schedule.rows.size());
    std::vector<Stretch> responses; // activation to return, of every activation seen whole
    for (const Flow &flow : schedule.flows) {
        const Row &row = schedule.rows[flow.row];
        for (const Slice &slice : schedule.slices) {
            // Only an entry that returned: one still running when the trace
            // ended would give less than it took. Within one count of a
            // coarse clock, an entry can start and end at one stamp.
            if (slice.row != flow.row || slice.start != flow.entered || !slice.returned) continue;
            Seen &s = seen[flow.row];
            ++s.activations;
            responses.push_back({flow.activated, slice.end});
            s.response = std::max(s.response, slice.end - flow.activated);
            s.execution = std::max(s.execution, Covered(row.running, slice.start, slice.end));
            double lower = 0; // a lower task held a ceiling at or above this one's priority
            for (const Row &other : schedule.rows) {
                if (other.priority >= row.priority) continue;
                for (const Raised &r : other.holding) {
                    if (r.priority >= row.priority)
                        lower += Covered({{r.start, r.end}}, flow.activated, flow.entered);
                }
            }
            s.blocking = std::max(s.blocking, lower);
            break;
        }
    }
    // The time between two stamps can exceed their difference by up to one
    // count of the clock: each figure counts that count more.
    const double count = schedule.resolution;
    text += "# Each time below counts one count of the trace's clock, " + Nanoseconds(count) +
            ", beyond its stamps.\n";
    const double gap = LongestGap(schedule, responses);
    if (gap > 0) {
        text += "# The kernel between tasks: the longest gap seen, twice, for an activation's switch\n"
                "# in and out.\n";
        text += "cost dispatch " + Nanoseconds(2 * (gap + count)) + "\n";
    }
    std::map<std::string, double> handlers; // each handler's longest run
    for (const HandlerRun &run : schedule.handler_runs) {
        handlers[run.name] = std::max(handlers[run.name], run.end - run.start);
    }
    if (!handlers.empty()) text += "# Handlers, between the marks they made:\n";
    for (const auto &[name, longest] : handlers) {
        text += "execution " + name + " " + Nanoseconds(longest + count) + "\n";
    }
    for (size_t i = 0; i < schedule.rows.size(); ++i) {
        const Row &row = schedule.rows[i];
        const Seen &s = seen[i];
        if (s.activations == 0) continue;
        double hold = 0;
        for (const Raised &r : row.holding) hold = std::max(hold, r.end - r.start + count);
        text += "# " + row.name + ": " + std::to_string(s.activations) + " activations, blocked at most " +
                Nanoseconds(s.blocking) + "\n";
        text += "execution " + row.name + " " + Nanoseconds(s.execution + count) + "\n";
        text += "observed " + row.name + " " + Nanoseconds(s.response + count) + "\n";
        if (row.acquired) text += "hold " + row.name + " * " + Nanoseconds(std::max(hold, count)) + "\n";
    }
    return text;
}

} // namespace trace
