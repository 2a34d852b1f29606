#include "task_program.h"

#include <algorithm>
#include <sstream>

namespace harness {

Choose SeededChoices(uint64_t seed) {
    return [state = seed * 0x9E3779B97F4A7C15ull + 1](uint32_t n) mutable {
        // splitmix64
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<uint32_t>((z ^ (z >> 31)) % n);
    };
}

namespace {

// A narrow range of priorities and ceilings, so that equal priorities and
// ceilings that equal a priority are common.
int32_t PickPriority(const Choose &choose) { return static_cast<int32_t>(choose(8)) - 1; }

} // namespace

Program Generate(const Choose &choose) {
    Program program;
    program.first_priority = PickPriority(choose);
    const uint32_t count = 1 + choose(16);
    program.bodies.resize(count);
    std::vector<std::vector<int32_t>> children(count);
    for (uint32_t b = 1; b < count; ++b) children[choose(b)].push_back(static_cast<int32_t>(b));

    int32_t acquisitions_left = 8;
    int32_t mark = 0;
    for (uint32_t b = 0; b < count; ++b) {
        std::vector<Step> &steps = program.bodies[b];
        std::vector<Step> held;
        size_t next_child = 0;
        for (uint32_t n = choose(10); n > 0; --n) {
            switch (choose(5)) {
            case 0:
                steps.push_back({Op::Mark, mark++, 0});
                break;
            case 1:
                if (next_child < children[b].size())
                    steps.push_back({Op::Activate, children[b][next_child++], PickPriority(choose)});
                break;
            case 2:
                if (acquisitions_left > 0) {
                    --acquisitions_left;
                    held.push_back({Op::Release, PickPriority(choose) + static_cast<int32_t>(choose(2)),
                                    static_cast<int32_t>(choose(2))});
                    steps.push_back({Op::Acquire, held.back().a, held.back().b});
                }
                break;
            case 3:
                if (!held.empty()) {
                    const auto it = held.begin() + choose(static_cast<uint32_t>(held.size()));
                    steps.push_back(*it);
                    held.erase(it);
                }
                break;
            default:
                if (choose(3) == 0) steps.push_back({Op::Return, 0, 0});
                break;
            }
        }
        for (; next_child < children[b].size(); ++next_child)
            steps.push_back({Op::Activate, children[b][next_child], PickPriority(choose)});
        while (!held.empty()) {
            const auto it = held.begin() + choose(static_cast<uint32_t>(held.size()));
            steps.push_back(*it);
            held.erase(it);
        }
        steps.push_back({Op::Terminate, 0, 0});
        if (choose(4) == 0) steps.push_back({Op::Mark, mark++, 0});
    }
    return program;
}

bool IsValid(const Program &program) {
    const size_t count = program.bodies.size();
    if (count == 0 || count > 16) return false;
    std::vector<int> activations(count, 0);
    int acquisitions = 0;
    for (size_t b = 0; b < count; ++b) {
        std::vector<std::pair<int32_t, int32_t>> held;
        bool terminated = false;
        for (const Step &s : program.bodies[b]) {
            if (terminated && s.op != Op::Mark) return false;
            switch (s.op) {
            case Op::Activate:
                if (s.a <= static_cast<int32_t>(b) || s.a >= static_cast<int32_t>(count)) return false;
                ++activations[static_cast<size_t>(s.a)];
                break;
            case Op::Acquire:
                held.push_back({s.a, s.b});
                ++acquisitions;
                break;
            case Op::Release: {
                const auto it = std::find(held.begin(), held.end(), std::make_pair(s.a, s.b));
                if (it == held.end()) return false;
                held.erase(it);
                break;
            }
            case Op::Terminate:
                if (!held.empty()) return false;
                terminated = true;
                break;
            default:
                break;
            }
        }
        if (!terminated) return false;
    }
    for (size_t b = 1; b < count; ++b)
        if (activations[b] > 1) return false;
    return acquisitions <= 8;
}

std::string Format(const Program &program) {
    std::ostringstream out;
    out << 'P' << program.first_priority << ':';
    for (size_t b = 0; b < program.bodies.size(); ++b) {
        if (b > 0) out << " |";
        for (const Step &s : program.bodies[b]) {
            switch (s.op) {
            case Op::Mark:
                out << " m" << s.a;
                break;
            case Op::Activate:
                out << " a" << s.a << '@' << s.b;
                break;
            case Op::Acquire:
                out << " +" << s.a << '/' << s.b;
                break;
            case Op::Release:
                out << " -" << s.a << '/' << s.b;
                break;
            case Op::Terminate:
                out << " t";
                break;
            case Op::Return:
                out << " r";
                break;
            }
        }
    }
    return out.str();
}

Program Parse(const std::string &text) {
    Program program;
    std::istringstream in(text);
    char c = 0;
    in >> c >> program.first_priority >> c;
    program.bodies.emplace_back();
    std::string token;
    while (in >> token) {
        std::istringstream t(token.substr(1));
        Step s{Op::Mark, 0, 0};
        char separator = 0;
        switch (token[0]) {
        case '|':
            program.bodies.emplace_back();
            continue;
        case 'm':
            t >> s.a;
            break;
        case 'a':
            s.op = Op::Activate;
            t >> s.a >> separator >> s.b;
            break;
        case '+':
            s.op = Op::Acquire;
            t >> s.a >> separator >> s.b;
            break;
        case '-':
            s.op = Op::Release;
            t >> s.a >> separator >> s.b;
            break;
        case 't':
            s.op = Op::Terminate;
            break;
        default:
            s.op = Op::Return;
            break;
        }
        program.bodies.back().push_back(s);
    }
    return program;
}

std::string Format(const Trace &trace) {
    std::ostringstream out;
    for (const Event &e : trace) {
        static const char *const kinds[] = {"enter", "mark", "prio", "term"};
        out << kinds[e.kind] << ' ' << e.body;
        if (e.kind != Event::Terminate) out << ' ' << e.value;
        out << '\n';
    }
    return out.str();
}

} // namespace harness
