// Resources under the immediate priority ceiling, observed through the
// scheduling order and the running task's priority.
#include "trace.h"

namespace {

using onestack::ready_head;
using onestack::resource_table;

// Marks a point in the running task together with its current priority.
void MarkAt(const std::string &what) {
    Mark(what + "@" + std::to_string(onestack::task_table[ready_head].current_priority));
}

int32_t probe_priority;

// A (base 1) holds (5, k) while it activates a probe: only a probe above
// the ceiling preempts; one above the base runs at the release, before
// ReleaseResource returns; one at or below the base waits for A's end.
TEST(Resources, HolderIsPreemptedOnlyAboveTheCeiling) {
    struct Row {
        int32_t priority;
        const char *trace;
    };
    const Row rows[] = {
        {6, "A@5 probe held@5 released@1"}, {5, "A@5 held@5 probe released@1"},
        {3, "A@5 held@5 probe released@1"}, {1, "A@5 held@5 released@1 probe"},
        {0, "A@5 held@5 released@1 probe"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.priority);
        probe_priority = row.priority;
        EXPECT_EQ(RunTrace(
                      [] {
                          AcquireResource(5, 42);
                          MarkAt("A");
                          ActivateTask([] { Leaf("probe"); }, probe_priority, "probe");
                          MarkAt("held");
                          ReleaseResource(5, 42);
                          MarkAt("released");
                          TerminateTask();
                      },
                      1),
                  row.trace);
    }
}

// A (base 1) holds (5, k1) and (7, k2) with probes at 6 and 4 waiting:
// each release must leave A at the highest ceiling it still holds.
void HoldTwoWithProbes() {
    AcquireResource(5, 1);
    AcquireResource(7, 2);
    ActivateTask([] { Leaf("p6"); }, 6, "p6");
    ActivateTask([] { Leaf("p4"); }, 4, "p4");
    MarkAt("both");
}

TEST(Resources, NestedHoldsReleasedInnerFirst) {
    EXPECT_EQ(RunTrace(
                  [] {
                      HoldTwoWithProbes();
                      ReleaseResource(5, 1);
                      MarkAt("r5");
                      ReleaseResource(7, 2);
                      MarkAt("r7");
                      TerminateTask();
                  },
                  1),
              "both@7 r5@7 p6 p4 r7@1");
}

TEST(Resources, NestedHoldsReleasedOuterFirst) {
    EXPECT_EQ(RunTrace(
                  [] {
                      HoldTwoWithProbes();
                      ReleaseResource(7, 2);
                      MarkAt("r7");
                      ReleaseResource(5, 1);
                      MarkAt("r5");
                      TerminateTask();
                  },
                  1),
              "both@7 p6 r7@5 p4 r5@1");
}

// A ceiling at or below the base priority raises nothing and its release
// lets no equal-priority task take over.
TEST(Resources, CeilingAtOrBelowTheBaseChangesNothing) {
    EXPECT_EQ(RunTrace(
                  [] {
                      ActivateTask([] { Leaf("eq"); }, 5, "eq");
                      AcquireResource(3, 0);
                      AcquireResource(5, 0);
                      MarkAt("held");
                      ReleaseResource(5, 0);
                      MarkAt("r5");
                      ReleaseResource(3, 0);
                      MarkAt("r3");
                      TerminateTask();
                  },
                  5),
              "held@5 r5@5 r3@5 eq");
}

// At the release the task goes back ahead of ready tasks of its new
// priority: only the task above it runs.
TEST(Resources, EqualPriorityReadyTaskDoesNotRunAtTheRelease) {
    EXPECT_EQ(RunTrace(
                  [] {
                      AcquireResource(9, 0);
                      ActivateTask([] { Leaf("eq"); }, 2, "eq");
                      ActivateTask([] { Leaf("above"); }, 3, "above");
                      ReleaseResource(9, 0);
                      MarkAt("released");
                      TerminateTask();
                  },
                  2),
              "above released@2 eq");
}

// The same pair held twice: the remaining hold keeps its ceiling. The
// release gives back the newest hold.
TEST(Resources, SamePairHeldTwiceKeepsTheCeilingUntilTheLastRelease) {
    EXPECT_EQ(RunTrace(
                  [] {
                      AcquireResource(5, 7);
                      AcquireResource(5, 7);
                      ActivateTask([] { Leaf("p3"); }, 3, "p3");
                      ReleaseResource(5, 7);
                      EXPECT_EQ(onestack::free_resource_head, 1);
                      EXPECT_EQ(resource_table[0].owner, ready_head);
                      MarkAt("once");
                      ReleaseResource(5, 7);
                      MarkAt("twice");
                      TerminateTask();
                  },
                  1),
              "once@5 p3 twice@1");
}

// A pair held twice: the newest hold goes back when it is of the pair;
// otherwise the first record of the pair in the table does.
TEST(Resources, PairHeldTwiceGivesBackTheNewestHoldOrElseTheFirstInTheTable) {
    RunTrace(
        [] {
            AcquireResource(7, 0);
            AcquireResource(5, 7);
            AcquireResource(5, 7);
            ReleaseResource(5, 7);
            EXPECT_EQ(onestack::free_resource_head, 2);
            EXPECT_EQ(resource_table[1].owner, ready_head);
            AcquireResource(5, 7); // record 2 again
            AcquireResource(9, 0); // record 3, above both of the pair
            ReleaseResource(5, 7);
            EXPECT_EQ(onestack::free_resource_head, 1);
            EXPECT_EQ(resource_table[2].owner, ready_head);
            ReleaseResource(9, 0);
            ReleaseResource(5, 7);
            EXPECT_EQ(onestack::free_resource_head, 2);
            ReleaseResource(7, 0);
            TerminateTask();
        },
        1);
    EXPECT_EQ(onestack::free_resource_head, 0);
}

// Releasing a hold that is not the newest changes what the newer holds
// fall back to: each later release must still land on the greater of the
// base and the ceilings still held, whichever order the holds go back in.
TEST(Resources, OlderHoldReleasedFirstLeavesEachLaterReleaseAtTheRightPriority) {
    struct Row {
        int32_t ceilings[3]; // acquired in this order
        int32_t order[3];    // indices into ceilings, in release order
        const char *trace;
    };
    const Row rows[] = {
        {{9, 3, 5}, {0, 2, 1}, "@5 @3 @1"}, // the oldest governed: both newer holds fall further
        {{3, 9, 5}, {0, 2, 1}, "@9 @9 @1"}, // the oldest did not govern: the newest keeps 9 below it
        {{3, 9, 5}, {1, 2, 0}, "@5 @3 @1"}, // the middle one governed
        {{5, 3, 9}, {0, 1, 2}, "@9 @9 @1"}, // oldest first, all three in turn
        {{2, 2, 2}, {1, 0, 2}, "@2 @2 @1"}, // equal ceilings
    };
    static const Row *row;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.trace);
        row = &r;
        EXPECT_EQ(RunTrace(
                      [] {
                          for (int i = 0; i < 3; ++i) AcquireResource(row->ceilings[i], i);
                          for (int i : row->order) {
                              ReleaseResource(row->ceilings[i], i);
                              MarkAt("");
                          }
                          TerminateTask();
                      },
                      1),
                  r.trace);
    }
}

// Two tasks may hold the same pair at once; each release finds its own.
TEST(Resources, TwoTasksHoldTheSamePairEachInItsOwnRecord) {
    EXPECT_EQ(RunTrace(
                  [] {
                      AcquireResource(5, 7);
                      ActivateTask(
                          [] {
                              AcquireResource(5, 7);
                              ReleaseResource(5, 7);
                              EXPECT_EQ(resource_table[0].owner, 0);
                              EXPECT_EQ(resource_table[1].owner, NO_TASK);
                              Leaf("B");
                          },
                          6, "B");
                      ReleaseResource(5, 7);
                      MarkAt("A");
                      TerminateTask();
                  },
                  1),
              "B A@1");
}

TEST(Resources, RecordJustReleasedIsHandedOutNextAndAllAreFreeAfterARun) {
    RunTrace(
        [] {
            AcquireResource(1, 0);
            AcquireResource(1, 1);
            AcquireResource(1, 2);
            ReleaseResource(1, 1);
            AcquireResource(1, 3);
            EXPECT_EQ(resource_table[1].key, 3);
            EXPECT_EQ(resource_table[1].owner, ready_head);
            ReleaseResource(1, 0);
            ReleaseResource(1, 2);
            ReleaseResource(1, 3);
            TerminateTask();
        },
        0);
    EXPECT_EQ(FreeResourceList(), (std::vector<int>{1, 2, 0, 3, 4, 5, 6, 7}));
    for (const onestack::ResourceRecord &r : resource_table) EXPECT_EQ(r.owner, NO_TASK);
}

void Acquire9() {
    for (int32_t k = 0; k <= MAX_RESOURCES; ++k) AcquireResource(1, k);
}

TEST(ResourcesDeathTest, BrokenPreconditionsStop) {
    EXPECT_DEATH(StartOS(Acquire9, 1, "t"), "^onestack: AcquireResource: no free resource record[^\n]*\n$");
    EXPECT_DEATH(StartOS(
                     [] {
                         AcquireResource(3, 0);
                         TerminateTask();
                     },
                     1, "t"),
                 "^onestack: TerminateTask: the task still holds a resource\n$");
}

TEST(ResourcesDeathTest, ReleaseOfAPairNotHeldStops) {
    const char *const stop = "^onestack: ReleaseResource: the running task holds no such resource\n$";
    // Ceiling equal to the current priority, and not.
    EXPECT_DEATH(StartOS([] { ReleaseResource(1, 0); }, 1, "t"), stop);
    EXPECT_DEATH(StartOS([] { ReleaseResource(4, 0); }, 1, "t"), stop);
    // Right ceiling, wrong key; and a pair that only another task holds.
    EXPECT_DEATH(StartOS(
                     [] {
                         AcquireResource(5, 1);
                         ReleaseResource(5, 2);
                     },
                     1, "t"),
                 stop);
    EXPECT_DEATH(StartOS(
                     [] {
                         AcquireResource(5, 1);
                         ActivateTask([] { ReleaseResource(5, 1); }, 6, "other");
                     },
                     1, "t"),
                 stop);
}

} // namespace
