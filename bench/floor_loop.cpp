// The floor: the least lateness this machine allows a sleeping player. A bare
// loop sleeps to each absolute deadline on CLOCK_MONOTONIC (clock_nanosleep,
// TIMER_ABSTIME) and notes how late it woke, nothing else.
//
// Usage: floor_loop [--timely] [--per-core] DUE_FILE OUT_FILE
//   --timely    schedule as the stream's player thread does: timer slack of
//               1 ns and SCHED_FIFO priority 20 where the process may have it
//               (says on standard error which it got)
//   --per-core  one loop on each core, pinned there (with --timely, at
//               priority 19, so that it never holds a player back): a core
//               the machine takes away for a while shows on that core's loop
//               alone, where a player woken there waits as long
//   DUE_FILE    one due time a line, microseconds from the start (decimals allowed)
//   OUT_FILE    receives one line per due time: the lateness of each loop,
//               microseconds (wake-up minus due), separated by spaces
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Loop {
    const std::vector<int64_t>* due_ns;
    int64_t start;
    std::vector<int64_t> late_ns;
};

void sleep_through(Loop& loop) {
    for (size_t i = 0; i < loop.due_ns->size(); ++i) {
        int64_t deadline = loop.start + (*loop.due_ns)[i];
        timespec ts{time_t(deadline / 1000000000), long(deadline % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
        loop.late_ns[i] = now_ns() - deadline;
    }
}

void* run_loop(void* argument) {
    sleep_through(*static_cast<Loop*>(argument));
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> flags(argv + 1, argv + argc);
    bool timely = false, per_core = false;
    while (!flags.empty() && flags.front().starts_with("--")) {
        if (flags.front() == "--timely")
            timely = true;
        else if (flags.front() == "--per-core")
            per_core = true;
        else
            break;
        flags.erase(flags.begin());
    }
    if (flags.size() != 2) {
        fprintf(stderr, "Usage: %s [--timely] [--per-core] DUE_FILE OUT_FILE\n", argv[0]);
        return 2;
    }
    const char* due_path = flags[0].c_str();
    const char* out_path = flags[1].c_str();
    const int priority = per_core ? 19 : 20;
    bool fifo = false;
    if (timely) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        sched_param param{};
        param.sched_priority = priority;
        fifo = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
        if (fifo)
            fprintf(stderr, "timer slack 1 ns, SCHED_FIFO %d\n", priority);
        else
            fprintf(stderr, "timer slack 1 ns, SCHED_OTHER (SCHED_FIFO refused)\n");
    }
    FILE* in = fopen(due_path, "r");
    if (!in) {
        perror(due_path);
        return 1;
    }
    std::vector<int64_t> due_ns;
    double us;
    while (fscanf(in, "%lf", &us) == 1) due_ns.push_back(int64_t(us * 1000.0 + 0.5));
    fclose(in);

    const int64_t start = now_ns();
    std::vector<Loop> loops;
    if (!per_core) {
        loops.push_back({&due_ns, start, std::vector<int64_t>(due_ns.size())});
        sleep_through(loops[0]);
    } else {
        cpu_set_t allowed;
        CPU_ZERO(&allowed);
        sched_getaffinity(0, sizeof allowed, &allowed);
        std::vector<int> cores;
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &allowed)) cores.push_back(cpu);
        loops.resize(cores.size(), {&due_ns, start, std::vector<int64_t>(due_ns.size())});
        std::vector<pthread_t> threads(cores.size());
        for (size_t c = 0; c < cores.size(); ++c) {
            // Threads inherit the slack and the priority; each its own core.
            pthread_attr_t attributes;
            pthread_attr_init(&attributes);
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cores[c], &one);
            pthread_attr_setaffinity_np(&attributes, sizeof one, &one);
            if (pthread_create(&threads[c], &attributes, run_loop, &loops[c]) != 0) {
                perror("pthread_create");
                return 1;
            }
            pthread_attr_destroy(&attributes);
        }
        for (pthread_t thread : threads) pthread_join(thread, nullptr);
    }

    FILE* out = fopen(out_path, "w");
    if (!out) {
        perror(out_path);
        return 1;
    }
    for (size_t i = 0; i < due_ns.size(); ++i) {
        for (size_t c = 0; c < loops.size(); ++c) fprintf(out, c ? " %.3f" : "%.3f", loops[c].late_ns[i] / 1000.0);
        fputc('\n', out);
    }
    return fclose(out) == 0 ? 0 : 1;
}
