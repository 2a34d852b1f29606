// onestack_trace: reads a trace that WriteTrace recorded and writes it as
// Chrome trace-event JSON, VCD and SVG.
//
//   onestack_trace TRACE [--json FILE] [--vcd FILE] [--svg FILE] [--sequence]
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "schedule.h"

namespace {

int Usage() {
    std::fputs("usage: onestack_trace TRACE [--json FILE] [--vcd FILE] [--svg FILE] [--sequence]\n", stderr);
    return 2;
}

bool WriteFile(const char *path, const std::string &text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out.flush());
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) return Usage();
    const char *json = nullptr;
    const char *vcd = nullptr;
    const char *svg = nullptr;
    bool by_sequence = false;
    for (int i = 2; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "--sequence") == 0) {
            by_sequence = true;
        } else if (std::strcmp(argv[i], "--json") == 0 && has_value) {
            json = argv[++i];
        } else if (std::strcmp(argv[i], "--vcd") == 0 && has_value) {
            vcd = argv[++i];
        } else if (std::strcmp(argv[i], "--svg") == 0 && has_value) {
            svg = argv[++i];
        } else {
            return Usage();
        }
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "onestack_trace: %s: cannot open it\n", argv[1]);
        return 1;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    trace::Trace recorded;
    std::string error;
    if (!trace::Parse(bytes, recorded, error)) {
        std::fprintf(stderr, "onestack_trace: %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    const trace::Schedule schedule = trace::BuildSchedule(recorded, by_sequence);
    const struct {
        const char *path;
        std::string (*write)(const trace::Schedule &);
    } outputs[] = {{json, trace::ChromeJson}, {vcd, trace::Vcd}, {svg, trace::Svg}};
    for (const auto &output : outputs) {
        if (output.path != nullptr && !WriteFile(output.path, output.write(schedule))) {
            std::fprintf(stderr, "onestack_trace: %s: cannot write it\n", output.path);
            return 1;
        }
    }
    if (recorded.dropped > 0) {
        std::fprintf(stderr, "onestack_trace: %s: the %u oldest events were not kept\n", argv[1],
                     static_cast<unsigned>(recorded.dropped));
    }
    return 0;
}
