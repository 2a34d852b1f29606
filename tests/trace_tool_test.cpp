// The trace tool: a dump read back, a truncated or corrupt one refused with
// a reason, and the schedule it shows, in each format.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "onestack.h"
#include "schedule.h"
#include "trace_file.h"

namespace {

struct Dump {
    std::vector<uint8_t> bytes;
    void Put(uint64_t value, int count) {
        for (int i = 0; i < count; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    void Event(uint32_t sequence, int kind, int task, int32_t a, const std::string &name = "") {
        Put(sequence * 10, 8);
        Put(sequence, 4);
        Put(static_cast<uint64_t>(kind), 1);
        Put(static_cast<uint8_t>(task), 1);
        Put(static_cast<uint32_t>(a), 4);
        Put(0, 4);
        Put(name.size(), 1);
        bytes.insert(bytes.end(), name.begin(), name.end());
    }
};

// A (1) activates B (3), which preempts it; B acquires a ceiling of 4.
Dump Nested() {
    Dump d;
    for (const char c : std::string("OSTRACE1")) d.bytes.push_back(static_cast<uint8_t>(c));
    d.Put(1, 4);
    d.Put(12, 4);
    d.Put(0, 4);
    d.Event(0, TRACE_ACTIVATED, 0, 1, "A");
    d.Event(1, TRACE_ENTERED, 0, 1);
    d.Event(2, TRACE_ACTIVATED, 1, 3, "B");
    d.Event(3, TRACE_PREEMPTED, 0, 0);
    d.Event(4, TRACE_ENTERED, 1, 3);
    d.Event(5, TRACE_ACQUIRED, 1, 4);
    d.Event(6, TRACE_RELEASED, 1, 3);
    d.Event(7, TRACE_TERMINATED, 1, 0);
    d.Event(8, TRACE_RETURNED, 1, 0);
    d.Event(9, TRACE_RESUMED, 0, 0);
    d.Event(10, TRACE_TERMINATED, 0, 0);
    d.Event(11, TRACE_RETURNED, 0, 0);
    return d;
}

TEST(TraceTool, EveryTruncationAndCorruptionIsRefusedWithAReason) {
    const Dump whole = Nested();
    trace::Trace t;
    std::string error;
    ASSERT_TRUE(trace::Parse(whole.bytes, t, error)) << error;
    EXPECT_EQ(t.events.size(), 12u);
    EXPECT_EQ(t.events[2].name, "B");
    for (size_t length = 0; length < whole.bytes.size(); ++length) {
        const std::vector<uint8_t> cut(whole.bytes.begin(),
                                       whole.bytes.begin() + static_cast<std::ptrdiff_t>(length));
        error.clear();
        EXPECT_FALSE(trace::Parse(cut, t, error)) << "cut at " << length;
        EXPECT_FALSE(error.empty());
    }
    const struct {
        size_t offset;
        uint8_t value;
        const char *error;
    } corruptions[] = {
        {0, 'X', "not a onestack trace"},      {8, 7, "unknown clock"},
        {12, 200, "more than the file holds"}, {20 + 12, 99, "unknown kind"},
        {20 + 13, 16, "names task record"},
    };
    for (const auto &c : corruptions) {
        std::vector<uint8_t> bad = whole.bytes;
        bad[c.offset] = c.value;
        EXPECT_FALSE(trace::Parse(bad, t, error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
    std::vector<uint8_t> longer = whole.bytes;
    longer.push_back(0);
    EXPECT_FALSE(trace::Parse(longer, t, error));
    EXPECT_NE(error.find("after the last event"), std::string::npos);
}

// A reader of the VCD subset the tool writes, as a viewer would read it:
// the declarations, then times and scalar value changes. Each wire's name
// maps to its values as "time:value" in order; a line it does not know
// fails the test.
std::map<std::string, std::string> ReadVcd(const std::string &vcd) {
    std::istringstream in(vcd);
    std::map<std::string, std::string> name_of_id, values;
    std::string line, time;
    bool definitions = true;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (definitions) {
            if (first == "$var") {
                std::string type, width, id, name;
                words >> type >> width >> id >> name;
                EXPECT_EQ(type, "wire");
                EXPECT_EQ(width, "1");
                name_of_id[id] = name;
            } else if (first == "$enddefinitions") {
                definitions = false;
            } else {
                EXPECT_TRUE(first == "$timescale" || first == "$scope" || first == "$upscope" ||
                            first == "$comment")
                    << line;
            }
        } else if (line[0] == '#') {
            time = line.substr(1);
            EXPECT_FALSE(time.empty());
        } else {
            const auto id = name_of_id.find(line.substr(1));
            EXPECT_TRUE(id != name_of_id.end() && (line[0] == '0' || line[0] == '1')) << line;
            if (id != name_of_id.end()) values[id->second] += time + ":" + line[0] + " ";
        }
    }
    EXPECT_FALSE(definitions) << "no $enddefinitions";
    values["end"] = time;
    return values;
}

TEST(TraceTool, TheScheduleNestsAsTheEntriesDid) {
    trace::Trace t;
    std::string error;
    ASSERT_TRUE(trace::Parse(Nested().bytes, t, error));
    const trace::Schedule s = trace::BuildSchedule(t, true);
    ASSERT_EQ(s.rows.size(), 2u);
    EXPECT_EQ(s.rows[0].name, "B"); // highest priority first
    EXPECT_EQ(s.rows[1].name, "A");
    ASSERT_EQ(s.rows[0].running.size(), 1u);
    EXPECT_EQ(s.rows[0].running[0].start, 4);
    EXPECT_EQ(s.rows[0].running[0].end, 8);
    EXPECT_EQ(s.rows[0].waiting[0].start, 2); // activated, not yet begun
    EXPECT_EQ(s.rows[0].waiting[0].end, 4);
    // A is preempted from its PREEMPTED event until its RESUMED one, not
    // only while B runs.
    ASSERT_EQ(s.rows[1].preempted.size(), 1u);
    EXPECT_EQ(s.rows[1].preempted[0].start, 3);
    EXPECT_EQ(s.rows[1].preempted[0].end, 9);
    ASSERT_EQ(s.rows[0].holding.size(), 1u);
    EXPECT_EQ(s.rows[0].holding[0].start, 5);
    EXPECT_EQ(s.rows[0].holding[0].end, 6);
    EXPECT_EQ(s.rows[0].holding[0].priority, 4);
    ASSERT_EQ(s.flows.size(), 2u); // A from no task, B from A
    EXPECT_EQ(s.flows[1].from, 1);
    EXPECT_EQ(s.flows[1].activated, 2);
    EXPECT_EQ(s.flows[1].entered, 4);

    const std::string json = trace::ChromeJson(s);
    const size_t a_begin = json.find("\"A\",\"ph\":\"B\""), b_begin = json.find("\"B\",\"ph\":\"B\"");
    const size_t b_end = json.find("\"B\",\"ph\":\"E\""), a_end = json.find("\"A\",\"ph\":\"E\"");
    ASSERT_NE(a_end, std::string::npos);
    EXPECT_LT(a_begin, b_begin);
    EXPECT_LT(b_begin, b_end);
    EXPECT_LT(b_end, a_end);
    // Every event has a category (DevTools needs one); the running
    // priority is a counter that shows the ceiling; steps say they are steps.
    const auto count = [&](const std::string &what) {
        size_t n = 0;
        for (size_t at = json.find(what); at != std::string::npos; at = json.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("\"ph\":"), count("\"cat\":"));
    EXPECT_EQ(count("\"ph\":\"B\",\"cat\":\"task\",\"ts\""),
              2u); // the name alone: no args for viewers to append
    EXPECT_NE(
        json.find(
            "\"ph\":\"C\",\"cat\":\"priority\",\"ts\":5.000,\"pid\":1,\"tid\":1,\"args\":{\"priority\":4}"),
        std::string::npos);
    EXPECT_NE(json.find("not a time"), std::string::npos);

    // A runs from 1 to 3 and from 9, when it resumes, to 11; it waits to
    // begin from 0 and, preempted, from 3; B waits from 2 and runs from 4 to 8.
    const std::map<std::string, std::string> wires = ReadVcd(trace::Vcd(s));
    EXPECT_EQ(wires.at("A_running"), "0:0 1:1 3:0 9:1 11:0 ");
    EXPECT_EQ(wires.at("A_waiting"), "0:1 1:0 3:1 9:0 ");
    EXPECT_EQ(wires.at("B_running"), "0:0 4:1 8:0 ");
    EXPECT_EQ(wires.at("B_waiting"), "0:0 2:1 4:0 ");
    EXPECT_EQ(wires.at("end"), "12"); // one step past the last change

    const std::string svg = trace::Svg(s);
    EXPECT_LT(svg.find(">B (priority 3)<"), svg.find(">A (priority 1)<"));
    EXPECT_NE(svg.find("url(#preempted)"), std::string::npos);
    EXPECT_NE(svg.find(">at 4<"), std::string::npos);
    EXPECT_NE(svg.find("step (one per event, not a time)"), std::string::npos);
}

// The axis of a run whose clock reads past 2^63 nanoseconds is labelled in
// full (it once converted the labels to long long, which they overflow).
TEST(TraceSvg, LabelsAnAxisPastTheLargestLongLong) {
    trace::Schedule s;
    s.nanoseconds = true;
    s.end = 1.8e19;
    EXPECT_NE(trace::Svg(s).find(">15000000000000000000<"), std::string::npos);
}

// Names as viewers must see them: more than one code's worth of wires in
// the VCD, a name that would end a declaration made safe, UTF-8 kept in
// the JSON and the SVG.
TEST(TraceTool, AnyNumberOfNamesOfAnyTextReachEveryFormat) {
    trace::Trace t;
    const std::vector<std::string> names = {"Stra\xC3\x9F"
                                            "e \xE2\x82\xAC",
                                            "x $end y", "<&\"\\>"};
    for (int n = 0; n < 60; ++n) {
        const std::string name = n < 3 ? names[size_t(n)] : "T" + std::to_string(n);
        t.events.push_back({uint64_t(2 * n), uint32_t(2 * n), TRACE_ACTIVATED, int8_t(n % 16), n, 0, name});
        t.events.push_back(
            {uint64_t(2 * n + 1), uint32_t(2 * n + 1), TRACE_ENTERED, int8_t(n % 16), n, 0, ""});
    }
    const trace::Schedule s = trace::BuildSchedule(t, true);
    const std::map<std::string, std::string> wires = ReadVcd(trace::Vcd(s));
    EXPECT_EQ(wires.size(), 2 * 60u + 1);
    EXPECT_EQ(wires.count("Stra_xC3_x9Fe__xE2_x82_xAC_running"), 1u);
    EXPECT_EQ(wires.count("x__x24end_y_running"), 1u);
    const std::string json = trace::ChromeJson(s);
    EXPECT_NE(json.find("\"Stra\xC3\x9F"
                        "e \xE2\x82\xAC\""),
              std::string::npos);
    EXPECT_NE(json.find("\"<&\\\"\\\\>\""), std::string::npos);
    EXPECT_NE(trace::Svg(s).find(">&lt;&amp;&quot;\\&gt; (priority 2)<"), std::string::npos);
}

// Found by the fuzzer: a clock that runs backwards made times wrap around.
TEST(TraceTool, AClockThatRunsBackwardsStandsStill) {
    Dump d = Nested();
    d.bytes[20] = 0xFF; // the first event's time: later than all the others
    for (int i = 1; i < 8; ++i) d.bytes[20 + static_cast<size_t>(i)] = 0xFF;
    trace::Trace t;
    std::string error;
    ASSERT_TRUE(trace::Parse(d.bytes, t, error)) << error;
    const trace::Schedule s = trace::BuildSchedule(t, false);
    EXPECT_EQ(s.end, 0);
    for (const trace::Slice &slice : s.slices) EXPECT_LE(slice.start, slice.end);
    EXPECT_NE(trace::Vcd(s).find("$enddefinitions"), std::string::npos);
}

// Times in ns: A runs 10-30 and 90-110, B 40-80 and holds 50-60. The
// kernel's gaps between them, 10 ns each, are an activation's switch in and
// out: twice the longest. After them a handler runs 120-130 and 140-170,
// another nested in it 150-160, and a third begins at 180, never to end;
// so does C's entry, at 200, before the trace's last event at 210. Each
// figure counts one count of the clock, 1 ns, beyond the stamps.
TEST(TraceTool, TimesGiveEachTasksAndHandlersLongestAndTheKernelsSwitch) {
    Dump d = Nested();
    d.bytes[12] = 22; // the events that follow
    d.Event(12, TRACE_HANDLER_BEGAN, -1, 0, "Tick");
    d.Event(13, TRACE_HANDLER_ENDED, -1, 0);
    d.Event(14, TRACE_HANDLER_BEGAN, -1, 0, "Tick");
    d.Event(15, TRACE_HANDLER_BEGAN, -1, 0, "Uart");
    d.Event(16, TRACE_HANDLER_ENDED, -1, 0);
    d.Event(17, TRACE_HANDLER_ENDED, -1, 0);
    d.Event(18, TRACE_HANDLER_BEGAN, -1, 0, "Never");
    d.Event(19, TRACE_ACTIVATED, 2, 5, "C");
    d.Event(20, TRACE_ENTERED, 2, 5);
    d.Event(21, TRACE_HANDLER_BEGAN, -1, 0, "Never");
    trace::Trace t;
    std::string error;
    ASSERT_TRUE(trace::Parse(d.bytes, t, error)) << error;
    const std::string times = trace::Times(trace::BuildSchedule(t, false));
    for (const char *line :
         {"\ncost dispatch 22ns\n", "\nexecution B 41ns\nobserved B 61ns\nhold B * 11ns\n",
          "\nexecution A 41ns\nobserved A 111ns\n", "\nexecution Tick 31ns\n", "\nexecution Uart 11ns\n"}) {
        EXPECT_NE(times.find(line), std::string::npos) << line << " in\n" << times;
    }
    EXPECT_EQ(times.find("Never"), std::string::npos) << times;
    EXPECT_EQ(times.find(" C "), std::string::npos) << times;
    EXPECT_NE(trace::Times(trace::BuildSchedule(t, true)).find("no clock"), std::string::npos);
}

} // namespace
