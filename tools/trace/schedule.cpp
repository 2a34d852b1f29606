#include "schedule.h"

#include <algorithm>
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

std::string Escaped(const std::string &text, bool xml) {
    std::string out;
    for (const char c : text) {
        if (xml && (c == '<' || c == '>' || c == '&' || c == '"')) {
            out += c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : "&quot;";
        } else if (!xml && (c == '"' || c == '\\')) {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
            out += '?';
        } else {
            out += c;
        }
    }
    return out;
}

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

} // namespace

Schedule BuildSchedule(const Trace &trace, bool by_sequence) {
    Schedule schedule;
    schedule.nanoseconds = trace.nanoseconds && !by_sequence;
    std::map<std::string, size_t> row_of_name;
    std::vector<int> row_of_record(MAX_TASKS, -1);
    std::vector<int> holds(MAX_TASKS, 0);
    struct Open {
        int record;
        size_t slice;
    };
    std::vector<Open> stack;
    const auto row_of = [&](int record) -> int { return record >= 0 ? row_of_record[size_t(record)] : -1; };
    double previous = 0;
    for (size_t n = 0; n < trace.events.size(); ++n) {
        const Event &e = trace.events[n];
        // A clock that runs backwards (a corrupt trace) stands still instead.
        const uint64_t first = trace.events[0].time;
        const double clocked = e.time > first ? static_cast<double>(e.time - first) : 0;
        const double now = std::max(previous, schedule.nanoseconds ? clocked : static_cast<double>(n));
        // What held since the last event.
        for (size_t depth = 0; depth < stack.size(); ++depth) {
            const int row = row_of(stack[depth].record);
            if (row < 0) continue;
            Row &r = schedule.rows[size_t(row)];
            Extend(depth + 1 == stack.size() ? r.running : r.preempted, previous, now);
        }
        for (int record = 0; record < MAX_TASKS; ++record) {
            if (holds[size_t(record)] > 0 && row_of(record) >= 0)
                Extend(schedule.rows[size_t(row_of(record))].holding, previous, now);
        }
        previous = now;
        const int row = row_of(e.task);
        const std::string name =
            row >= 0 ? schedule.rows[size_t(row)].name : "record " + std::to_string(e.task);
        switch (e.kind) {
        case TRACE_ACTIVATED:
        case TRACE_ACTIVATED_BY_HANDLER: {
            if (e.task < 0) break; // no record: a corrupt trace
            const std::string task = e.name.empty() ? "record " + std::to_string(e.task) : e.name;
            auto [it, added] = row_of_name.emplace(task, schedule.rows.size());
            if (added) schedule.rows.push_back({task, e.a, {}, {}, {}});
            row_of_record[size_t(e.task)] = static_cast<int>(it->second);
            holds[size_t(e.task)] = 0;
            schedule.marks.push_back(
                {now, task + (e.kind == TRACE_ACTIVATED ? " activated" : " activated by a handler") +
                          " at priority " + std::to_string(e.a)});
            break;
        }
        case TRACE_ENTERED:
            if (row >= 0) {
                stack.push_back({e.task, schedule.slices.size()});
                schedule.slices.push_back({size_t(row), now, now});
            }
            break;
        case TRACE_RETURNED:
            // An entry whose call began before the ring's oldest event has no slice.
            if (!stack.empty() && stack.back().record == e.task) {
                schedule.slices[stack.back().slice].end = now;
                stack.pop_back();
            }
            break;
        case TRACE_ACQUIRED:
        case TRACE_RELEASED:
            if (e.task >= 0) holds[size_t(e.task)] += e.kind == TRACE_ACQUIRED ? 1 : -1;
            schedule.marks.push_back({now, name + (e.kind == TRACE_ACQUIRED ? " acquires" : " releases") +
                                               " ceiling " + std::to_string(e.b) + ", runs at " +
                                               std::to_string(e.a)});
            break;
        case TRACE_EXIT_DISPATCH:
            schedule.marks.push_back({now, "dispatch at interrupt exit"});
            break;
        case TRACE_TERMINATED:
            schedule.marks.push_back({now, name + " terminates"});
            break;
        default: // preempted, resumed, exit dispatch ended: the slices show them
            break;
        }
    }
    schedule.end = previous + (schedule.nanoseconds ? 0 : 1);
    for (const Open &open : stack) schedule.slices[open.slice].end = schedule.end;
    // Highest priority on top; rows are renumbered, so the slices follow.
    std::vector<size_t> order(schedule.rows.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) {
        return schedule.rows[x].priority > schedule.rows[y].priority;
    });
    std::vector<size_t> new_index(order.size());
    std::vector<Row> rows;
    for (size_t i = 0; i < order.size(); ++i) {
        new_index[order[i]] = i;
        rows.push_back(schedule.rows[order[i]]);
    }
    schedule.rows = rows;
    for (Slice &slice : schedule.slices) slice.row = new_index[slice.row];
    return schedule;
}

// Perfetto and chrome://tracing: the entries as begin and end events on one
// track, which nest as the calls did; the marks as instant events. Times in
// microseconds; a trace without a clock has one per event.
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
    std::string out = "{\"displayTimeUnit\":\"ns\",\"traceEvents\":[\n";
    out += "{\"name\":\"thread_name\",\"ph\":\"M\",\"pid\":1,\"tid\":1,\"args\":{\"name\":\"onestack\"}}";
    for (const Edge &edge : edges) {
        const Row &row = schedule.rows[schedule.slices[edge.slice].row];
        out += ",\n{\"name\":\"" + Escaped(row.name, false) + "\",\"ph\":\"" + (edge.begin ? "B" : "E") +
               "\",\"ts\":" + Number(edge.time * unit) +
               ",\"pid\":1,\"tid\":1,\"args\":{\"priority\":" + std::to_string(row.priority) + "}}";
    }
    for (const Mark &mark : schedule.marks) {
        out += ",\n{\"name\":\"" + Escaped(mark.text, false) +
               "\",\"ph\":\"i\",\"s\":\"t\",\"ts\":" + Number(mark.time * unit) + ",\"pid\":1,\"tid\":1}";
    }
    return out + "\n]}\n";
}

// GTKWave and PulseView: one wire per task, 1 while it runs, z while it is
// preempted, 0 otherwise.
std::string Vcd(const Schedule &schedule) {
    std::string out = std::string("$timescale ") + (schedule.nanoseconds ? "1ns" : "1us") + " $end\n";
    out += "$scope module onestack $end\n";
    const auto id = [](size_t row) { return std::string(1, static_cast<char>('!' + row)); };
    for (size_t r = 0; r < schedule.rows.size() && r < 90; ++r) {
        std::string name = Escaped(schedule.rows[r].name, false);
        std::replace(name.begin(), name.end(), ' ', '_');
        out += "$var wire 1 " + id(r) + " " + name + " $end\n";
    }
    out += "$upscope $end\n$enddefinitions $end\n";
    std::map<uint64_t, std::vector<std::pair<size_t, char>>> changes;
    // Times beyond 10^19 ns (three centuries) are no real run's: clamped.
    const auto at = [](double t) {
        return t < 1e19 ? static_cast<uint64_t>(t) : uint64_t{10000000000000000000u};
    };
    for (size_t r = 0; r < schedule.rows.size() && r < 90; ++r) {
        changes[0].push_back({r, '0'});
        for (const Stretch &s : schedule.rows[r].preempted) {
            changes[at(s.start)].push_back({r, 'z'});
            changes[at(s.end)].push_back({r, '0'});
        }
        for (const Stretch &s : schedule.rows[r].running) {
            changes[at(s.start)].push_back({r, '1'});
            changes[at(s.end)].push_back({r, '0'});
        }
    }
    for (const auto &[time, list] : changes) {
        // The last change of a wire at one time is its value then; a later
        // stretch that starts where one ends wins over that one's end.
        std::map<size_t, char> value;
        for (const auto &[row, v] : list) {
            if (v != '0' || value.find(row) == value.end()) value[row] = v;
        }
        out += "#" + std::to_string(time) + "\n";
        for (const auto &[row, v] : value) out += std::string(1, v) + id(row) + "\n";
    }
    return out + "#" + std::to_string(at(schedule.end)) + "\n";
}

// A timeline: a row per task, highest priority on top; running solid,
// preempted hatched, resource holds shaded beneath.
std::string Svg(const Schedule &schedule) {
    const double label = 170;
    const double row_height = 28;
    const double width = 760;
    const double scale = schedule.end > 0 ? width / schedule.end : 1;
    const double height = 40 + row_height * static_cast<double>(schedule.rows.size());
    std::string out = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Number(label + width + 20) +
                      "\" height=\"" + Number(height) + "\" font-family=\"sans-serif\" font-size=\"13\">\n";
    out += "<defs><pattern id=\"preempted\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\">"
           "<path d=\"M0,6 L6,0\" stroke=\"#4a6fa5\" stroke-width=\"1.5\"/></pattern></defs>\n";
    out += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    for (size_t r = 0; r < schedule.rows.size(); ++r) {
        const Row &row = schedule.rows[r];
        const double y = 20 + row_height * static_cast<double>(r);
        out += "<text x=\"8\" y=\"" + Number(y + 18) + "\">" + Escaped(row.name, true) + " (priority " +
               std::to_string(row.priority) + ")</text>\n";
        out += "<line x1=\"" + Number(label) + "\" x2=\"" + Number(label + width) + "\" y1=\"" +
               Number(y + 22) + "\" y2=\"" + Number(y + 22) + "\" stroke=\"#ccc\"/>\n";
        const auto rect = [&](const Stretch &s, double top, double h, const char *fill) {
            out += "<rect x=\"" + Number(label + s.start * scale) + "\" y=\"" + Number(y + top) +
                   "\" width=\"" + Number((s.end - s.start) * scale) + "\" height=\"" + Number(h) +
                   "\" fill=\"" + fill + "\"/>\n";
        };
        for (const Stretch &s : row.holding) rect(s, 2, 22, "#f2d49b");
        for (const Stretch &s : row.preempted) rect(s, 6, 14, "url(#preempted)");
        for (const Stretch &s : row.running) rect(s, 6, 14, "#4a6fa5");
    }
    out += "<text x=\"" + Number(label) + "\" y=\"" + Number(height - 6) +
           "\" fill=\"#666\">solid: running; hatched: preempted; shaded: holding a resource</text>\n";
    return out + "</svg>\n";
}

} // namespace trace
