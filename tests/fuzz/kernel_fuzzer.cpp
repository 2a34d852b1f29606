// Coverage-guided search for a program on which the kernel and the model
// disagree: the input bytes are the generator's choices.
#include <cstdio>
#include <cstdlib>

#include "differential/kernel_driver.h"
#include "differential/reference_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace harness;
    size_t used = 0;
    const Program program = Generate([&](uint32_t n) { return used < size ? data[used++] % n : 0u; });
    const KernelRun run = RunKernel(program);
    if (run.violations.empty() && run.trace == RunModel(program)) return 0;
    std::fprintf(stderr, "kernel and model disagree on: %s\n", Format(program).c_str());
    for (const std::string &v : run.violations) std::fprintf(stderr, "%s\n", v.c_str());
    std::abort();
}
