/* A serial console on a board's UART. Each byte received interrupts, and
 * the handler sends it through a channel; the channel's consumer, Console,
 * assembles lines and answers commands through the UART; a timer's task,
 * Report, writes statistics now and then. A burst of bytes before Console
 * runs costs one activation; a byte that finds the channel full is dropped
 * and counted, and the program goes on. "quit" ends the run.
 *
 * Console (priority 2) and Report (1) both write to the UART: each line is
 * written holding the UART's resource, so lines never mix. Idle (0) waits
 * for interrupts between events. The priorities and the resource's ceiling
 * come from the task set's description, console.stack. */
#include <string.h>

#include "board.h"
#include "onestack.h"
#include "task_set.h"

enum {
    TICK_MS = 8, /* the tick's period */
    REPORT_TICKS = 20,
    UART_LEVEL = 1, /* interrupt priority levels: 0 is the most urgent */
    TICK_LEVEL = 2,
    LINE_MAX = 64,
};

/* Room for a whole screenful typed ahead: while Console answers, and its
 * UART may keep it waiting, the bytes that come are kept, not dropped. */
static void Console(void);
ONESTACK_CHANNEL(received, 256, Console, TASK_CONSOLE_PRIORITY, "Console");

/* Written by Console only, read by Report under the UART's resource. */
static uint32_t lines, bytes;
/* "quit" answered, and a report written since: the run may end. */
static volatile int done, reports, finished;

static void Write(const char *text) { BoardUartSink(0, text, (uint32_t)strlen(text)); }

static void WriteNumber(uint32_t n) {
    char digits[11];
    int i = (int)sizeof digits;
    digits[--i] = '\0';
    do {
        digits[--i] = (char)('0' + n % 10);
        n /= 10;
    } while (n != 0);
    Write(&digits[i]);
}

/* "N lines, N bytes, N dropped, N refused\n", holding the UART. */
static void WriteStatistics(const char *prefix) {
    AcquireResource(RESOURCE_UART_CEILING, RESOURCE_UART_KEY);
    Write(prefix);
    WriteNumber(lines);
    Write(" lines, ");
    WriteNumber(bytes);
    Write(" bytes, ");
    WriteNumber(ChannelDrops(&received));
    Write(" dropped, ");
    WriteNumber(RefusedActivations());
    Write(" refused\n");
    ReleaseResource(RESOURCE_UART_CEILING, RESOURCE_UART_KEY);
}

static void Answer(const char *first, const char *second) {
    AcquireResource(RESOURCE_UART_CEILING, RESOURCE_UART_KEY);
    Write(first);
    Write(second);
    Write("\n");
    ReleaseResource(RESOURCE_UART_CEILING, RESOURCE_UART_KEY);
}

static void RunCommand(const char *line) {
    if (strcmp(line, "help") == 0) {
        Answer("commands: help, echo TEXT, stats, quit", "");
    } else if (strncmp(line, "echo ", 5) == 0) {
        Answer(line + 5, "");
    } else if (strcmp(line, "stats") == 0) {
        WriteStatistics("stats: ");
    } else if (strcmp(line, "quit") == 0) {
        Answer("bye", "");
        done = 1;
        finished = reports > 0;
    } else if (line[0] != '\0') {
        Answer("unknown command: ", line);
    }
}

/* The consumer: every byte that has arrived, then it terminates; the next
 * byte activates it again. A line longer than LINE_MAX is refused whole. */
static void Console(void) {
    static char line[LINE_MAX + 1];
    static int length, too_long;
    uintptr_t byte;
    while (ReceiveChannel(&received, &byte)) {
        ++bytes;
        if (byte == '\r') continue;
        if (byte != '\n') {
            if (length < LINE_MAX) {
                line[length++] = (char)byte;
            } else {
                too_long = 1;
            }
            continue;
        }
        ++lines;
        line[length] = '\0';
        if (too_long) {
            Answer("line too long", "");
        } else {
            RunCommand(line);
        }
        length = 0;
        too_long = 0;
    }
    TerminateTask();
}

static void Report(void) {
    ++reports;
    WriteStatistics("report: ");
    finished = done;
    TerminateTask();
}

/* Every byte waiting in the UART goes into the channel. */
void BOARD_IRQ_HANDLER(BOARD_UART_IRQ)(void) {
    uint8_t byte;
    while (BoardUartRead(&byte)) SendChannel(&received, byte);
}

void BOARD_TICK_HANDLER(void) {
    BoardAcknowledgeTick();
    AdvanceTime(1);
}

static TimerId report_timer;

/* Ends once "quit" has been answered and a report written; the tick goes
 * on until then, so a report comes. */
static void Idle(void) {
    if (BoardWaitUnless(&finished)) {
        BoardStartTick(0);
        StopTimer(report_timer);
        TerminateTask();
    }
}

static void Start(void) {
    Write("console: type help\n");
    BoardSetPriority(BOARD_TICK, TICK_LEVEL);
    BoardSetPriority(16 + BOARD_UART_IRQ, UART_LEVEL);
    BoardUartStartReceiving();
    BoardEnableIrq(BOARD_UART_IRQ);
    report_timer = StartTimer(Report, TASK_REPORT_PRIORITY, "Report", REPORT_TICKS, REPORT_TICKS);
    BoardStartTick(BoardTicksFromMs(TICK_MS));
    ActivateTask(Idle, TASK_IDLE_PRIORITY, "Idle");
    TerminateTask();
}

int main(void) {
    BoardUartStart();
    StartOS(Start, TASK_START_PRIORITY, "Start");
    return 0;
}
