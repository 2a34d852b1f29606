// What the kernel writes on a board, for every family's port: its closing
// lines to standard output (1), a stop's line to standard error (2); before
// a stop, what the tasks wrote and the C library still buffers; and the end
// of a stop whose handler returned. Through the board's own output routine
// (boards/board_output.h), so that a firmware pays for no formatted output
// it does not use. Included inside the port's namespace.
constexpr int STANDARD_OUTPUT = 1;
constexpr int STANDARD_ERROR = 2;
extern "C" void BoardWrite(int stream, const char *text);
extern "C" void BoardFlushOutput(void);
extern "C" [[noreturn]] void BoardExit(int status);
inline void Write(int stream, const char *text) { BoardWrite(stream, text); }
inline void FlushOutput() { BoardFlushOutput(); }
[[noreturn]] inline void Abort() { BoardExit(134); } // as a process that abort() ends
