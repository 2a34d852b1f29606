#include <cstdio>

#include <onestack.h>

int main() {
    return StartOS(
        [] {
            ActivateTask(
                [] {
                    std::puts("inner");
                    TerminateTask();
                },
                2, "inner");
            std::puts("outer");
            TerminateTask();
        },
        1, "outer");
}
