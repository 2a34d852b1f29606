// The kernel's tables: reset, record hand-out and return in stack order.
#include "trace.h"

namespace {

using onestack::ready_head;

TEST(Tables, ResetEmptiesTheReadyListAndThreadsFreeListsInIndexOrder) {
    onestack::ResetTables();
    EXPECT_EQ(ready_head, NO_TASK);
    EXPECT_EQ(FreeTaskList(), Range(0, 15));
    EXPECT_EQ(FreeResourceList(), Range(0, 7));
    for (const onestack::ResourceRecord &r : onestack::resource_table) EXPECT_EQ(r.owner, NO_TASK);
}

// Three tasks of rising priority: each preempts the one before, so they
// terminate in reverse order and the free list is restored.
TEST(Tables, RecordsReturnedInReverseOrderRestoreTheFreeList) {
    EXPECT_EQ(RunTrace(
                  [] {
                      Mark(std::to_string(ready_head));
                      ActivateTask(
                          [] {
                              Mark(std::to_string(ready_head));
                              ActivateTask(
                                  [] {
                                      Mark(std::to_string(ready_head));
                                      TerminateTask();
                                  },
                                  3, "c");
                              TerminateTask();
                          },
                          2, "b");
                      TerminateTask();
                  },
                  1),
              "0 1 2");
    EXPECT_EQ(ready_head, NO_TASK);
    EXPECT_EQ(FreeTaskList(), Range(0, 15));
}

std::vector<int> free_list_seen;

// Equal priorities terminate in activation order: the free list is a stack,
// so it reads 2, 1, 0, 3, ... and the next activation gets record 2.
TEST(Tables, RecordsReturnedInActivationOrderAreReusedLastFirst) {
    EXPECT_EQ(RunTrace(
                  [] {
                      ActivateTask(
                          [] {
                              Mark("b" + std::to_string(ready_head));
                              TerminateTask();
                          },
                          1, "b");
                      ActivateTask(
                          [] {
                              Mark("c" + std::to_string(ready_head));
                              free_list_seen = FreeTaskList();
                              TerminateTask();
                          },
                          1, "c");
                      Mark("a" + std::to_string(ready_head));
                      TerminateTask();
                  },
                  1),
              "a0 b1 c2");
    const std::vector<int> expected = {1, 0, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    EXPECT_EQ(free_list_seen, expected);
    std::vector<int> after = {2, 1, 0};
    for (int i = 3; i < MAX_TASKS; ++i) after.push_back(i);
    EXPECT_EQ(FreeTaskList(), after);
}

// A new run starts from reset tables whatever the last one left behind.
TEST(Tables, EveryStartOsBeginsWithRecordZero) {
    RunTrace(
        [] {
            ActivateTask([] { TerminateTask(); }, 1, "b");
            TerminateTask();
        },
        1);
    ASSERT_NE(FreeTaskList(), Range(0, 15));
    EXPECT_EQ(RunTrace(
                  [] {
                      Mark(std::to_string(ready_head));
                      TerminateTask();
                  },
                  1),
              "0");
}

TEST(Tables, ActivationFillsTheRecordWithoutCopyingTheName) {
    static const char name[] = "named";
    RunTrace(
        [] {
            ActivateTask([] { TerminateTask(); }, -7, name);
            const onestack::TaskRecord &r = onestack::task_table[1];
            EXPECT_EQ(r.base_priority, -7);
            EXPECT_EQ(r.current_priority, -7);
            EXPECT_EQ(r.name, name);
            EXPECT_EQ(r.next, NO_TASK);
            EXPECT_EQ(onestack::task_table[ready_head].next, 1);
            TerminateTask();
        },
        3);
}

} // namespace
