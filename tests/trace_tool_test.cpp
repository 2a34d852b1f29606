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
    d.Put(9, 4);
    d.Put(0, 4);
    d.Event(0, TRACE_ACTIVATED, 0, 1, "A");
    d.Event(1, TRACE_ENTERED, 0, 1);
    d.Event(2, TRACE_ACTIVATED, 1, 3, "B");
    d.Event(3, TRACE_PREEMPTED, 0, 0);
    d.Event(4, TRACE_ENTERED, 1, 3);
    d.Event(5, TRACE_ACQUIRED, 1, 4);
    d.Event(6, TRACE_RELEASED, 1, 3);
    d.Event(7, TRACE_RETURNED, 1, 0);
    d.Event(8, TRACE_RETURNED, 0, 0);
    return d;
}

TEST(TraceTool, EveryTruncationAndCorruptionIsRefusedWithAReason) {
    const Dump whole = Nested();
    trace::Trace t;
    std::string error;
    ASSERT_TRUE(trace::Parse(whole.bytes, t, error)) << error;
    EXPECT_EQ(t.events.size(), 9u);
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
                EXPECT_TRUE(first == "$timescale" || first == "$scope" || first == "$upscope") << line;
            }
        } else if (line[0] == '#') {
            time = line.substr(1);
            EXPECT_FALSE(time.empty());
        } else {
            const auto id = name_of_id.find(line.substr(1));
            EXPECT_TRUE(id != name_of_id.end() && std::string("01zx").find(line[0]) != std::string::npos)
                << line;
            if (id != name_of_id.end()) values[id->second] += time + ":" + line[0] + " ";
        }
    }
    EXPECT_FALSE(definitions) << "no $enddefinitions";
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
    EXPECT_EQ(s.rows[0].running[0].end, 7);
    ASSERT_EQ(s.rows[1].preempted.size(), 1u);
    EXPECT_EQ(s.rows[1].preempted[0].start, 4);
    ASSERT_EQ(s.rows[0].holding.size(), 1u);
    EXPECT_EQ(s.rows[0].holding[0].start, 5);
    EXPECT_EQ(s.rows[0].holding[0].end, 6);

    const std::string json = trace::ChromeJson(s);
    const size_t a_begin = json.find("\"A\",\"ph\":\"B\""), b_begin = json.find("\"B\",\"ph\":\"B\"");
    const size_t b_end = json.find("\"B\",\"ph\":\"E\""), a_end = json.find("\"A\",\"ph\":\"E\"");
    ASSERT_NE(a_end, std::string::npos);
    EXPECT_LT(a_begin, b_begin);
    EXPECT_LT(b_begin, b_end);
    EXPECT_LT(b_end, a_end);

    // A runs from 1, is preempted while B runs from 4 to 7, and ends at 8.
    const std::map<std::string, std::string> wires = ReadVcd(trace::Vcd(s));
    EXPECT_EQ(wires.at("A"), "0:0 1:1 4:z 7:1 8:0 ");
    EXPECT_EQ(wires.at("B"), "0:0 4:1 7:0 ");

    const std::string svg = trace::Svg(s);
    EXPECT_LT(svg.find(">B (priority 3)<"), svg.find(">A (priority 1)<"));
    EXPECT_NE(svg.find("url(#preempted)"), std::string::npos);
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

} // namespace
