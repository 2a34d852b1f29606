// The stack tool on small call graphs written here: each case a graph, a
// task set, and the bound or the refusal it must give.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "stack_bound.h"

namespace {

using onestack_stack::Program;

// "name frame" defines a function (its label as the compiler writes one),
// "name" alone one that is only called; "a>b" is a call. The kernel's own
// names take the labels that the tool knows them by.
std::string Graph(const std::vector<std::string> &lines) {
    std::string text = "graph: { title: \"t.c\"\n";
    for (const std::string &line : lines) {
        const size_t arrow = line.find('>');
        if (arrow != std::string::npos) {
            text += "edge: { sourcename: \"" + line.substr(0, arrow) + "\" targetname: \"" +
                    line.substr(arrow + 1) + "\" label: \"t.c:1:1\" }\n";
            continue;
        }
        std::istringstream in(line);
        std::string name, frame, kind = "static";
        in >> name >> frame >> kind;
        std::string plain = name == "Dispatch" ? "onestack::Dispatch"
                            : name == "Exit"   ? "onestack::DispatchAtInterruptExit"
                            : name == "Stop"   ? "onestack::{anonymous}::Stop"
                                               : name;
        text += "node: { title: \"" + name + "\" label: \"void " + plain + "(int)\\nt.c:1:1";
        text += frame.empty() ? "\" shape : ellipse }\n" : "\\n" + frame + " bytes (" + kind + ")\" }\n";
    }
    return text + "}\n";
}

// A kernel in miniature: an activation that runs the entry through a
// pointer, the interrupt exit's dispatch, and a stop.
const std::vector<std::string> KERNEL = {
    "ActivateTask 16", "ActivateTask>Dispatch", "Dispatch 16", "Dispatch>__indirect_call",
    "Exit 32",         "Exit>__indirect_call",  "Stop 8",      "Stop>__indirect_call"};

struct Case {
    const char *name;
    std::vector<std::string> graph;
    const char *tasks;
    long long bound;     // -1: unbounded, -2: refused
    const char *message; // in the reason or the refusal
};

const Case CASES[] = {
    {"diamond takes the deeper side",
     {"main 16", "main>a", "main>b", "a 8", "b 24", "a>c", "b>c", "c 32"},
     "target x86-64\nstart main\ntask c 1\n",
     72,
     ""},
    {"recursion is unbounded",
     {"main 16", "main>f", "f 8", "f>f"},
     "target x86-64\nstart main\ntask f 1\n",
     -1,
     "recursion, in main > f > f"},
    {"an unresolved pointer is unbounded",
     {"main 16", "main>__indirect_call"},
     "target x86-64\nstart main\ntask main 1\n",
     -1,
     "function pointer that the task set does not resolve"},
    {"a resolved pointer takes its deepest target",
     {"main 16", "main>__indirect_call", "f 8", "g 40"},
     "target x86-64\nstart main\ntask main 1\ncalls main f g\n",
     56,
     ""},
    {"a pointer's targets that the program lacks are skipped",
     {"main 16", "main>__indirect_call", "f 8", "g 40"},
     "target x86-64\nstart main\ntask main 1\ncalls main f Elsewhere g\n",
     56,
     ""},
    {"a pointer's targets may all be lacking where a '-' allows it",
     {"main 16", "main>__indirect_call"},
     "target x86-64\nstart main\ntask main 1\ncalls main Elsewhere -\n",
     16,
     ""},
    {"a pointer's targets all lacking are refused",
     {"main 16", "main>__indirect_call"},
     "target x86-64\nstart main\ntask main 1\ncalls main Elsewhere\n",
     -2,
     "tasks:4: no function \"Elsewhere\""},
    {"a weak function's definition, titled after its file, is reached by its symbol",
     {"main 16", "main>reset", "lib.cpp:reset 24"},
     "target x86-64\nstart main\ntask main 1\n",
     40,
     ""},
    {"a function whose address the program takes and the task set names nowhere is unbounded",
     {"main 16", "main>ActivateTask", "A 8", "B 500"},
     "target x86-64\nstart main\ntask A 1\naddress-taken B\n",
     -1,
     "the program takes the address of B"},
    {"a function whose address is taken and that is a task counts as one",
     {"main 16", "main>ActivateTask", "A 8", "B 500"},
     "target x86-64\nstart main\ntask A 1\ntask B 2\naddress-taken A B Elsewhere\n",
     48 + 500, // A activates nothing, so nothing stacks on it
     ""},
    {"a weak reference that the link leaves undefined reaches nothing",
     {"main 16", "main>ActivateTask", "A 8", "A>fflush", "fflush"},
     "target x86-64\nstart main\ntask A 1\nabsent fflush Elsewhere\nbound fflush 64\n",
     48 + 8,
     ""},
    // A jumps to g once its own 8 bytes are freed: g's 40 over A's entry.
    {"a tail call stacks the callee where the caller's frame was",
     {"main 16", "main>ActivateTask", "A 8", "A>g", "g 40", "A>h", "h 4"},
     "target x86-64\nstart main\ntask A 1\ntail-calls A g\ntail-calls Elsewhere g\n",
     48 + 40,
     ""},
    {"a function without stack information is unbounded",
     {"main 16", "main>puts", "puts"},
     "target x86-64\nstart main\ntask main 1\n",
     -1,
     "no stack information, in main > puts"},
    {"a declared bound stands for it",
     {"main 16", "main>puts", "puts"},
     "target x86-64\nstart main\ntask main 1\nbound puts 100\n",
     116,
     ""},
    {"alloca is unbounded",
     {"main 16", "main>v", "v 8 dynamic"},
     "target x86-64\nstart main\ntask v 1\n",
     -1,
     "alloca"},
    {"a bounded dynamic frame counts",
     {"main 16", "main>v", "v 8 dynamic,bounded"},
     "target x86-64\nstart main\ntask v 1\n",
     24,
     ""},
    // main > ActivateTask > Dispatch > the first task (32 deep); A activates
    // B at 8 + 32; B's deepest is 64.
    {"a chain of levels, one per priority",
     {"main 16", "main>ActivateTask", "A 8", "A>ActivateTask", "B 64"},
     "target x86-64\nstart main\ntask A 1\ntask B 2\n",
     48 + 40 + 64,
     ""},
    {"a start deeper outside the tasks stands for them, which are shown beside it",
     {"main 16", "main>ActivateTask", "main>report", "report 500", "A 8", "A>ActivateTask", "B 64"},
     "target x86-64\nstart main\ntask A 1\ntask B 2\n",
     516,
     ""},
    {"two tasks at one priority never stack",
     {"main 16", "main>ActivateTask", "A 8", "A>ActivateTask", "B 64", "C 200"},
     "target x86-64\nstart main\ntask A 1\ntask B 2\ntask C 2\n",
     48 + 40 + 200,
     ""},
    {"a ceiling is accepted and changes nothing",
     {"main 16", "main>ActivateTask", "A 8", "A>ActivateTask", "B 64"},
     "target x86-64\nstart main\ntask A 1 ceiling 2\ntask B 2\n",
     48 + 40 + 64,
     ""},
    // On the Cortex-M an interrupt at A's deepest (8 + puts 100) stacks 32
    // and the exit's 32 before B: 172 beats A's activation at 40.
    {"a level entered at an interrupt's exit",
     {"main 16", "main>ActivateTask", "A 8", "A>ActivateTask", "A>puts", "puts", "B 64", "H 24"},
     "target cortex-m\nstart main\ntask A 1\ntask B 2\nhandler H 0\nbound puts 100\n",
     48 + 172 + 64 + (32 + 24),
     ""},
    // Levels 0 and 1 nest, each over a frame; two at level 1 count once.
    {"handlers nest by level",
     {"main 16", "main>ActivateTask", "A 8", "H0 40", "H1 8", "H2 24"},
     "target cortex-m\nstart main\ntask A 1\nhandler H0 0\nhandler H1 1\nhandler H2 1\n",
     48 + 8 + (32 + 40) + (32 + 24),
     ""},
    // The stop's report (Stop > its handler, 8 + 300) counts once, above
    // A's deepest without it.
    {"a run's end counts once, on top",
     {"main 16", "main>ActivateTask", "A 8", "A>Stop", "A>ActivateTask", "B 64", "B>Stop", "Write 300",
      "Stop>Write"},
     "target x86-64\nstart main\ntask A 1\ntask B 2\nstop-handler Write\n",
     48 + 40 + 64 + 308,
     ""},
    // A run's end masks every interrupt: called from a task, no handler lies
    // beneath it (48 + 8 + 308 against 48 + 8 + 72 + 56 without it); called
    // from the level-1 handler H1, only that level does, not H0's above.
    {"a run's end in a task lies under no handler",
     {"main 16", "main>ActivateTask", "A 8", "A>Stop", "Write 300", "Stop>Write", "H0 40", "H1 24"},
     "target cortex-m\nstart main\ntask A 1\nhandler H0 0\nhandler H1 1\nstop-handler Write\n",
     48 + 8 + 308,
     ""},
    {"a run's end in a handler lies over the less urgent levels alone",
     {"main 16", "main>ActivateTask", "A 8", "Write 300", "Stop>Write", "H0 40", "H1 24", "H1>Stop"},
     "target cortex-m\nstart main\ntask A 1\nhandler H0 0\nhandler H1 1\nstop-handler Write\n",
     48 + 8 + (32 + 24) + 308,
     ""},
    // Both stop: H0's end lies over H1's level without H1's end.
    {"each handler's run's end lies over the others' levels without theirs",
     {"main 16", "main>ActivateTask", "A 8", "Write 300", "Stop>Write", "H0 40", "H0>Stop", "H1 24",
      "H1>Stop"},
     "target cortex-m\nstart main\ntask A 1\nhandler H1 1\nhandler H0 0\nstop-handler Write\n",
     48 + 8 + (32 + 24) + (32 + 40 + 308),
     ""},
    // A stops at 8 + 308, with nothing above it: not B's 64 beneath, as the
    // staircase's 48 + 40 + 64 with the run's end added over it would have.
    {"a run's end in a lower task lies under no higher one",
     {"main 16", "main>ActivateTask", "A 8", "A>ActivateTask", "A>Stop", "Write 300", "Stop>Write", "B 64"},
     "target x86-64\nstart main\ntask A 1\ntask B 2\nstop-handler Write\n",
     48 + 8 + 308,
     ""},
    {"alternatives take the first name present",
     {"main 16", "main>ActivateTask", "B 8"},
     "target x86-64\nstart main\ntask A|B 1\n",
     56,
     ""},
    {"an unknown name is refused",
     {"main 16"},
     "target x86-64\nstart main\ntask Nope 1\n",
     -2,
     "tasks:3: no function \"Nope\" in the call graphs"},
    {"a bad priority is refused",
     {"main 16"},
     "target x86-64\nstart main\ntask main one\n",
     -2,
     "tasks:3: a task's priority is a 32-bit integer"},
    {"an unknown line is refused",
     {"main 16"},
     "target x86-64\nsteps main\n",
     -2,
     "tasks:2: not a line of a task set"},
    {"an unknown target is refused", {"main 16"}, "target vax\n", -2, "tasks:1: no target \"vax\""},
    {"a channel with no room is refused",
     {"main 16"},
     "target x86-64\nstart main\ntask main 1\nchannel c 0 main main 1\n",
     -2,
     "tasks:4: a channel's capacity is 1 to 65536 items"},
};

class StackToolCase : public testing::TestWithParam<Case> {};

TEST_P(StackToolCase, BoundsOrRefuses) {
    const Case &c = GetParam();
    Program program;
    std::istringstream tasks(c.tasks);
    std::string error;
    std::istringstream kernel(Graph(KERNEL)), own(Graph(c.graph));
    ASSERT_TRUE(program.ReadCallGraph("kernel.ci", kernel, error)) << error;
    ASSERT_TRUE(program.ReadCallGraph("t.ci", own, error)) << error;
    const bool read = program.ReadDescription("tasks", tasks, error) && program.Complete(error);
    if (c.bound == -2) {
        EXPECT_FALSE(read);
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        return;
    }
    ASSERT_TRUE(read) << error;
    const onestack_stack::Bound bound = program.Compute();
    if (c.bound == -1) {
        EXPECT_FALSE(bound.bounded);
        EXPECT_NE(bound.reason.find(c.message), std::string::npos) << "reason: " << bound.reason;
        return;
    }
    ASSERT_TRUE(bound.bounded) << bound.reason;
    EXPECT_EQ(bound.bytes, static_cast<uint64_t>(c.bound));
    uint64_t sum = 0; // the printed chain adds up to the bound
    for (const auto &term : bound.terms) sum += term.bytes;
    EXPECT_EQ(sum, bound.bytes);
    uint64_t beside = 0; // and the chain through the tasks beside it, to what it says
    for (const auto &term : bound.through_tasks) beside += term.bytes;
    EXPECT_EQ(beside, bound.through_tasks_bytes);
    if (std::string(c.name).find("beside") != std::string::npos) {
        EXPECT_FALSE(bound.through_tasks.empty());
    }
    if (!bound.through_tasks.empty()) {
        EXPECT_LT(bound.through_tasks_bytes, bound.bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, StackToolCase, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<Case> &param) {
                             std::string name = param.param.name;
                             for (char &ch : name)
                                 ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             return name;
                         });

// GCC cuts some template instances' labels short, from the ")" after their
// parameters: the name then comes from the title's symbol, demangled.
TEST(StackToolGraph, NamesATemplateWhoseLabelIsCutShort) {
    const std::string title =
        "t.c:_ZN12_GLOBAL__N_119ActivateFromHandlerILNS_8OverloadE0EJEEEiPFvvEiPKcDpT0_";
    std::istringstream in("graph: { title: \"t\"\nnode: { title: \"" + title +
                          "\" label: \") [with Word = {}]\\nt.c:1:1\\n16 bytes (static)\" }\n}\n");
    Program program;
    std::string error;
    ASSERT_TRUE(program.ReadCallGraph("t.ci", in, error)) << error;
    EXPECT_EQ(program.Display(title), "{anonymous}::ActivateFromHandler");
    EXPECT_EQ(program.Deepest(title).bytes, 16u);
}

// Malformed call graphs are refused with the file and the line.
TEST(StackToolGraph, RefusesMalformedInputWithItsLine) {
    const std::pair<const char *, const char *> inputs[] = {
        {"graph: { title: \"t\"\nnode: { title: \"f\" label: \"void f()\\nt.c:1:1\\nlots of bytes\" }\n}\n",
         "t.ci:2: a stack usage other than"},
        {"graph: { title: \"t\"\nnode: { title: \"f\" label: \"unterminated }\n}\n", "t.ci:2: not a line"},
        {"graph: { title: \"t\"\nedge: { sourcename: \"f\" }\n}\n", "t.ci:2: an edge without"},
        {"graph: { title: \"t\"\n", "t.ci:1: the graph does not end"},
        {"node: { title: \"f\" label: \"f\" }\n", "t.ci:1: not a line"},
        {"graph: { title: \"t\"\n}\nmore\n", "t.ci:3: text after the graph's end"},
    };
    for (const auto &[text, message] : inputs) {
        Program program;
        std::istringstream in(text);
        std::string error;
        EXPECT_FALSE(program.ReadCallGraph("t.ci", in, error)) << text;
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
}

} // namespace
