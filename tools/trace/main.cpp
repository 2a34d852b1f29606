// onestack_trace: reads a trace that WriteTrace or DumpTrace recorded and
// writes it as Chrome trace-event JSON, VCD and SVG.
//
//   onestack_trace TRACE [--json FILE] [--vcd FILE] [--svg FILE] [--times FILE] [--sequence]
//
// TRACE or an output FILE of - is standard input or output. Each output is
// written whole or not at all: to a temporary file beside it, renamed
// into place. Every output asked for is attempted, and each failure said.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "onestack.h"
#include "schedule.h"

namespace {

const char USAGE[] =
    "usage: onestack_trace TRACE [--json FILE] [--vcd FILE] [--svg FILE] [--times FILE] [--sequence]\n";

const char HELP[] = "\n"
                    "Reads a trace that a kernel built with ONESTACK_TRACE wrote (WriteTrace or\n"
                    "DumpTrace) and writes it for the viewers:\n"
                    "  --json FILE   Chrome trace-event JSON: Perfetto, Chrome's DevTools, speedscope\n"
                    "  --vcd FILE    a value change dump: GTKWave, PulseView\n"
                    "  --svg FILE    a timeline picture\n"
                    "  --times FILE  per task the longest execution, response and hold seen, for\n"
                    "                onestack_timing\n"
                    "  --sequence    one step per event, whatever the clock said\n"
                    "TRACE or FILE - is standard input or output. Exit status 0, 1 when the trace\n"
                    "cannot be read or an output written, 2 for a wrong command line.\n";

int Usage() {
    std::fputs(USAGE, stderr);
    return 2;
}

void Say(const char *what, const std::string &why) {
    std::fprintf(stderr, "onestack_trace: %s: %s\n", what, why.c_str());
}

bool SameFile(const char *a, const char *b) {
    struct stat x {};
    struct stat y {};
    return std::strcmp(a, b) == 0 ||
           (stat(a, &x) == 0 && stat(b, &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino);
}

// Whole or not at all: the text goes to a temporary file in the same
// folder, which is renamed over `path` only once it is complete.
bool WriteFile(const char *path, const std::string &text, std::string &why) {
    if (std::strcmp(path, "-") == 0) {
        const bool written =
            std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
        if (!written) why = std::strerror(errno);
        return written;
    }
    std::string temporary = std::string(path) + ".XXXXXX";
    const int descriptor = mkstemp(temporary.data());
    if (descriptor < 0) {
        why = std::string("cannot create a file beside it: ") + std::strerror(errno);
        return false;
    }
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(descriptor, 0666 & ~mask); // as an ordinary new file, not mkstemp's 0600
    std::FILE *file = fdopen(descriptor, "wb");
    bool written = file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
    written = file != nullptr && std::fclose(file) == 0 && written;
    if (file == nullptr) close(descriptor);
    if (written) written = std::rename(temporary.c_str(), path) == 0;
    if (!written) {
        why = std::strerror(errno);
        std::remove(temporary.c_str());
    }
    return written;
}

// Only a regular file or standard input: a directory, a device or a FIFO
// that never ends is refused before anything is read.
bool ReadTrace(const char *path, trace::Trace &recorded, std::string &why) {
    if (std::strcmp(path, "-") == 0) return trace::Read(stdin, recorded, why);
    struct stat status {};
    if (stat(path, &status) != 0) {
        why = std::string("cannot open it: ") + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        why = "not a regular file";
        return false;
    }
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr) {
        why = std::string("cannot open it: ") + std::strerror(errno);
        return false;
    }
    const bool read = trace::Read(file, recorded, why);
    std::fclose(file);
    return read;
}

} // namespace

int main(int argc, char **argv) {
    const char *input = nullptr;
    const char *paths[4] = {nullptr, nullptr, nullptr, nullptr}; // json, vcd, svg, times
    bool by_sequence = false;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(USAGE, stdout);
            std::fputs(HELP, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("onestack_trace %s\n", ONESTACK_VERSION_STRING);
            return 0;
        }
        if (std::strcmp(argv[i], "--sequence") == 0) {
            by_sequence = true;
        } else if (std::strcmp(argv[i], "--json") == 0 && has_value) {
            paths[0] = argv[++i];
        } else if (std::strcmp(argv[i], "--vcd") == 0 && has_value) {
            paths[1] = argv[++i];
        } else if (std::strcmp(argv[i], "--svg") == 0 && has_value) {
            paths[2] = argv[++i];
        } else if (std::strcmp(argv[i], "--times") == 0 && has_value) {
            paths[3] = argv[++i];
        } else if (input == nullptr && (argv[i][0] != '-' || std::strcmp(argv[i], "-") == 0)) {
            input = argv[i];
        } else {
            return Usage();
        }
    }
    if (input == nullptr) return Usage();
    int to_standard_output = 0;
    for (const char *path : paths) {
        if (path == nullptr) continue;
        to_standard_output += std::strcmp(path, "-") == 0 ? 1 : 0;
        if (std::strcmp(path, "-") != 0 && SameFile(path, input)) {
            Say(path, "is the trace itself: refused");
            return 2;
        }
    }
    if (to_standard_output > 1) {
        std::fputs("onestack_trace: only one output can be standard output\n", stderr);
        return 2;
    }
    trace::Trace recorded;
    std::string why;
    if (!ReadTrace(input, recorded, why)) {
        Say(input, why);
        return 1;
    }
    const trace::Schedule schedule = trace::BuildSchedule(recorded, by_sequence);
    std::string (*const writers[4])(const trace::Schedule &) = {trace::ChromeJson, trace::Vcd, trace::Svg,
                                                                trace::Times};
    int status = 0;
    for (int i = 0; i < 4; ++i) {
        if (paths[i] != nullptr && !WriteFile(paths[i], writers[i](schedule), why)) {
            Say(paths[i], "cannot write it: " + why);
            status = 1;
        }
    }
    if (recorded.dropped > 0) {
        std::fprintf(stderr, "onestack_trace: %s: the %u oldest events were not kept%s\n", input,
                     static_cast<unsigned>(recorded.dropped),
                     recorded.live.empty() ? "" : "; the tasks live before them are shown from the start");
    }
    return status;
}
