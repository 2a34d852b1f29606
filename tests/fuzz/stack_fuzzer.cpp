// Any bytes as a call graph and a task set (split at the first zero byte):
// the stack tool reads or refuses them and, what it reads, bounds or
// calls unbounded, without reading out of bounds, looping or crashing.
#include <cstdint>
#include <sstream>
#include <string>

#include "stack_bound.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    const size_t zero = bytes.find('\0');
    std::istringstream graph(bytes.substr(0, zero));
    std::istringstream tasks(zero == std::string::npos ? "" : bytes.substr(zero + 1));
    onestack_stack::Program program;
    std::string error;
    if (!program.ReadCallGraph("fuzz.ci", graph, error)) return 0;
    if (!program.ReadDescription("fuzz.tasks", tasks, error) || !program.Complete(error)) return 0;
    const onestack_stack::Bound bound = program.Compute();
    if (bound.bounded) {
        uint64_t sum = 0;
        for (const auto &term : bound.terms) sum += term.bytes;
        if (sum != bound.bytes) __builtin_trap(); // the printed chain is the bound
    }
    return 0;
}
