// onestack_stack: the worst-case stack of a task set, from GCC's call
// graphs (-fcallgraph-info=su) and a task-set description; with --limit,
// a failure when the bound exceeds the stack region.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "stack_bound.h"

namespace {

constexpr char USAGE[] =
    "usage: onestack_stack --tasks FILE... [--limit BYTES] [--function NAME]... PATH...\n"
    "  PATH     a .ci call graph that GCC writes with -fcallgraph-info=su, or a folder of them\n"
    "  --tasks  the task set: its target, start, tasks, handlers, and what the graphs leave open;\n"
    "           given more than once, the files are read in turn\n"
    "  --limit  fail, with the worst chain, when the bound exceeds BYTES\n"
    "  --function  print NAME's deepest path as a call chain\n";

int Refuse(const std::string &why) {
    std::fprintf(stderr, "onestack_stack: %s\n", why.c_str());
    return 1;
}

// Every .ci file under each path, in a stable order.
bool CallGraphs(const std::vector<std::string> &paths, std::vector<std::string> &files, std::string &error) {
    namespace fs = std::filesystem;
    for (const std::string &path : paths) {
        std::error_code code;
        if (fs::is_directory(path, code)) {
            std::vector<std::string> found;
            for (const auto &entry : fs::recursive_directory_iterator(path, code)) {
                if (entry.is_regular_file() && entry.path().extension() == ".ci")
                    found.push_back(entry.path());
            }
            std::sort(found.begin(), found.end());
            files.insert(files.end(), found.begin(), found.end());
        } else if (fs::is_regular_file(path, code)) {
            files.push_back(path);
        } else {
            error = path + ": not a file or a folder";
            return false;
        }
        if (code) {
            error = path + ": " + code.message();
            return false;
        }
    }
    return true;
}

void PrintDepth(const onestack_stack::Program &program, const std::string &name,
                const onestack_stack::Depth &d) {
    if (!d.bounded) {
        std::printf("%s: unbounded: %s: ", name.c_str(), d.reason.c_str());
    } else {
        std::printf("%s: %llu bytes: ", name.c_str(), static_cast<unsigned long long>(d.bytes));
    }
    std::printf("%s\n", program.Chain(d).c_str());
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> tasks;
    long long limit = -1;
    std::vector<std::string> functions;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--help") {
            std::fputs(USAGE, stdout);
            return 0;
        }
        if (arg == "--tasks" && has_value) {
            tasks.push_back(argv[++i]);
        } else if (arg == "--limit" && has_value) {
            char *end = nullptr;
            limit = std::strtoll(argv[++i], &end, 0);
            if (*end != '\0' || limit < 0)
                return Refuse(std::string("--limit: not a number of bytes: ") + argv[i]);
        } else if (arg == "--function" && has_value) {
            functions.push_back(argv[++i]);
        } else if (arg.rfind("--", 0) == 0) {
            std::fputs(USAGE, stderr);
            return 1;
        } else {
            paths.push_back(arg);
        }
    }
    if (tasks.empty() || paths.empty()) {
        std::fputs(USAGE, stderr);
        return 1;
    }
    std::vector<std::string> files;
    std::string error;
    if (!CallGraphs(paths, files, error)) return Refuse(error);
    if (files.empty())
        return Refuse("no .ci call graph under the paths given: build with -fcallgraph-info=su");
    onestack_stack::Program program;
    for (const std::string &file : files) {
        std::ifstream in(file);
        if (!in) return Refuse(file + ": cannot be opened");
        if (!program.ReadCallGraph(file, in, error)) return Refuse(error);
    }
    for (const std::string &file : tasks) {
        std::ifstream description(file);
        if (!description) return Refuse(file + ": cannot be opened");
        if (!program.ReadDescription(file, description, error)) return Refuse(error);
    }
    if (!program.Complete(error)) return Refuse(error);
    for (const std::string &name : functions) {
        const std::string title = program.Resolve(name, error);
        if (title.empty()) return Refuse(error);
        PrintDepth(program, name, program.Deepest(title));
    }
    const onestack_stack::Bound bound = program.Compute();
    if (!bound.bounded) return Refuse("the stack has no bound: " + bound.reason);
    std::printf("stack bound: %llu bytes, over %zu call graphs\n",
                static_cast<unsigned long long>(bound.bytes), files.size());
    for (const auto &term : bound.terms) {
        std::printf("  %6llu  %s\n", static_cast<unsigned long long>(term.bytes), term.what.c_str());
    }
    if (!bound.through_tasks.empty()) {
        std::printf("through the tasks, %llu bytes, which the start's path outside them exceeds:\n",
                    static_cast<unsigned long long>(bound.through_tasks_bytes));
        for (const auto &term : bound.through_tasks) {
            std::printf("  %6llu  %s\n", static_cast<unsigned long long>(term.bytes), term.what.c_str());
        }
    }
    if (limit >= 0 && bound.bytes > static_cast<unsigned long long>(limit)) {
        return Refuse("the bound, " + std::to_string(bound.bytes) + " bytes, exceeds the stack region's " +
                      std::to_string(limit) + ": the worst chain is above");
    }
    return 0;
}
