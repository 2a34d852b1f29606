/* Shared data under a priority ceiling. Three tasks use one log; its
 * ceiling is 3, the highest priority among them. While the Logger holds the
 * log, tasks at or below the ceiling wait, a task above it still runs, and
 * the waiting tasks run as soon as the log is released. */
#include <stdio.h>

#include "onestack.h"

enum { LOG_CEILING = 3, LOG_KEY = 1 };

static int log_entries;

static void Reader(const char *who) {
    AcquireResource(LOG_CEILING, LOG_KEY);
    printf("%s reads the log: %d entries\n", who, log_entries);
    ReleaseResource(LOG_CEILING, LOG_KEY);
}

static void Reporter(void) { /* priority 2 */
    Reader("Reporter");
    TerminateTask();
}

static void Alarm(void) { /* priority 3 */
    Reader("Alarm");
    TerminateTask();
}

static void Watchdog(void) { /* priority 4: above the ceiling, uses no log */
    puts("Watchdog runs at once, above the ceiling");
    TerminateTask();
}

static void Logger(void) { /* priority 1 */
    AcquireResource(LOG_CEILING, LOG_KEY);
    puts("Logger takes the log and runs at its ceiling, 3");
    ActivateTask(Reporter, 2, "Reporter");
    ActivateTask(Alarm, 3, "Alarm");
    puts("Logger activated Reporter (2) and Alarm (3): both wait");
    ActivateTask(Watchdog, 4, "Watchdog");
    log_entries += 2;
    puts("Logger writes two entries and releases the log");
    ReleaseResource(LOG_CEILING, LOG_KEY);
    puts("Logger is back at priority 1 and ends");
    TerminateTask();
}

int main(void) {
    StartOS(Logger, 1, "Logger");
#ifdef ONESTACK_TRACE
    /* A traced build writes the run for the trace tool. */
    if (WriteTrace("ceiling.trace") != 0) return 1;
#endif
    return 0;
}
