// The floor: the least lateness this machine allows a sleeping player. A bare
// loop sleeps to each absolute deadline on CLOCK_MONOTONIC (clock_nanosleep,
// TIMER_ABSTIME) and notes how late it woke, nothing else.
//
// Usage: floor_loop [--timely] DUE_FILE OUT_FILE
//   --timely  schedule as the stream's player thread does: timer slack of 1 ns
//             and SCHED_FIFO priority 20 where the process may have it (says
//             on standard error which it got)
//   DUE_FILE  one due time a line, microseconds from the start (decimals allowed)
//   OUT_FILE  receives one lateness a line, microseconds (wake-up minus due)
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

}  // namespace

int main(int argc, char** argv) {
    bool timely = argc == 4 && std::string(argv[1]) == "--timely";
    if (argc != 3 && !timely) {
        fprintf(stderr, "Usage: %s [--timely] DUE_FILE OUT_FILE\n", argv[0]);
        return 2;
    }
    const char* due_path = argv[argc - 2];
    const char* out_path = argv[argc - 1];
    if (timely) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        sched_param priority{};
        priority.sched_priority = 20;
        bool fifo = pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) == 0;
        fprintf(stderr, "timer slack 1 ns, %s\n", fifo ? "SCHED_FIFO 20" : "SCHED_OTHER (SCHED_FIFO refused)");
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

    std::vector<int64_t> late_ns(due_ns.size());
    const int64_t start = now_ns();
    for (size_t i = 0; i < due_ns.size(); ++i) {
        int64_t deadline = start + due_ns[i];
        timespec ts{time_t(deadline / 1000000000), long(deadline % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
        late_ns[i] = now_ns() - deadline;
    }

    FILE* out = fopen(out_path, "w");
    if (!out) {
        perror(out_path);
        return 1;
    }
    for (int64_t late : late_ns) fprintf(out, "%.3f\n", late / 1000.0);
    return fclose(out) == 0 ? 0 : 1;
}
