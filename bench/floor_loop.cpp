// The floor: the least lateness this machine allows a sleeping player. A bare
// loop sleeps to each absolute deadline on CLOCK_MONOTONIC (clock_nanosleep,
// TIMER_ABSTIME) and notes how late it woke, nothing else.
//
// Usage: floor_loop DUE_FILE OUT_FILE
//   DUE_FILE  one due time a line, microseconds from the start (decimals allowed)
//   OUT_FILE  receives one lateness a line, microseconds (wake-up minus due)
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "Usage: %s DUE_FILE OUT_FILE\n", argv[0]);
        return 2;
    }
    FILE* in = fopen(argv[1], "r");
    if (!in) {
        perror(argv[1]);
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

    FILE* out = fopen(argv[2], "w");
    if (!out) {
        perror(argv[2]);
        return 1;
    }
    for (int64_t late : late_ns) fprintf(out, "%.3f\n", late / 1000.0);
    return fclose(out) == 0 ? 0 : 1;
}
