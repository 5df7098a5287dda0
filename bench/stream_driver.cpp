// Drives smfstream as its controller would and times, on CLOCK_MONOTONIC, what
// the trace device reports. The trace goes into a FIFO that this program reads
// as the lines come (the trace device writes each line with one write(2)), so
// each line is timestamped when it arrives, tens of microseconds at most after
// it was written.
//
//   stream_driver startup SMFSTREAM FILE REPEATS OUT [FLOOR...]
//       REPEATS times: start smfstream on FILE and time, from just before the
//       process is spawned, its `open`, `restart` and first `ev` lines; and
//       start each FLOOR (a program that writes those lines at once) the
//       same way, interleaved with it (each round in another order), so that
//       the player and its floors meet the same machine.
//       OUT: one line per start: "program open_us restart_us first_ev_us
//       first_at_us", program 0 being SMFSTREAM, 1 the first FLOOR, ...
//   stream_driver switch SMFSTREAM FILE_A FILE_B REPEATS OUT
//       starts smfstream on FILE_A, then REPEATS times, at random moments
//       0.15 to 0.35 s apart, writes a file-name command (FILE_B, FILE_A, ...)
//       and times, from just before the command's write, the `reset` of the
//       old stream, the `restart` and the first `ev` of the new one.
//       OUT: one line per switch: "reset_us restart_us first_ev_us first_at_us".
//   stream_driver seam SMFSTREAM FILE REPEATS OUT
//       starts smfstream on FILE, a short file that ends with a closing rest
//       and so plays pass after pass, and times REPEATS loop seams: from the
//       due time of a pass's closing no-op record to the first record of the
//       next pass sent. OUT: one line per seam: "seam_us late_us teardown_us
//       load_us open_us fill_us first_at_us", the seam and its parts, which
//       add up to it:
//       late: the no-op's own lateness (its AT_US − DUE_US);
//       teardown: its `ev` → `close` (the pass wakes, resets, unprepares and
//         closes the stream);
//       load: `close` → `open` (the marker, the file loaded, the next stream
//         opened);
//       open: `open` → `restart` (time division, header prepared);
//       fill: `restart` → the next pass's first `ev` (the first fill, the
//         queueing, the player's wake-up).
//       All but late are differences of arrival times: lines read together
//       share one, so a part shorter than the driver's own wake-up (tens of
//       microseconds) can show as 0 and its time land in the next. Hence
//       first_at_us, the first record's AT_US: restart → first record sent on
//       the player's own clock.
//
// first_at_us is the first record's AT_US (microseconds since its restart).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

[[noreturn]] void fail(const char* what) {
    perror(what);
    exit(1);
}

// The trace FIFO, read line by line with each line's arrival time.
class TraceReader {
public:
    explicit TraceReader(const std::string& path) {
        unlink(path.c_str());
        if (mkfifo(path.c_str(), 0600) != 0) fail("mkfifo");
        // Read and write: the FIFO never reports an end while the player
        // comes and goes, and its open for appending never blocks.
        fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) fail("open fifo");
    }

    // The next whole line (without its line end), waiting at most until
    // deadline_ns; false on time-out. *arrived_ns: when it was read.
    bool next(std::string* line, int64_t* arrived_ns, int64_t deadline_ns) {
        for (;;) {
            size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                *line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                *arrived_ns = pending_arrival_;
                return true;
            }
            int64_t left = deadline_ns - now_ns();
            if (left <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            int ready = poll(&p, 1, int(left / 1000000) + 1);
            if (ready <= 0) continue;
            char chunk[4096];
            ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) continue;
            pending_arrival_ = now_ns();
            pending_.append(chunk, size_t(n));
        }
    }

    // Reads until a line starting with prefix arrives; false on time-out.
    bool until(const char* prefix, std::string* line, int64_t* arrived_ns, int64_t deadline_ns) {
        size_t length = strlen(prefix);
        while (next(line, arrived_ns, deadline_ns))
            if (line->compare(0, length, prefix) == 0) return true;
        return false;
    }

    // Reads whatever comes until deadline_ns.
    void drain_until(int64_t deadline_ns) {
        std::string line;
        int64_t at;
        while (next(&line, &at, deadline_ns)) {
        }
    }

private:
    int fd_;
    std::string pending_;
    int64_t pending_arrival_ = 0;
};

struct Player {
    pid_t pid = 0;
    int input = -1;  // the write end of its standard input
};

Player spawn_player(const char* program, const char* file, const std::string& fifo, int64_t* spawned_ns) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) fail("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e)
        if (strncmp(*e, "SMFSTREAM_DEVICE=", 17) != 0) env_text.push_back(*e);
    env_text.push_back("SMFSTREAM_DEVICE=trace:" + fifo);
    std::vector<char*> env;
    for (std::string& s : env_text) env.push_back(s.data());
    env.push_back(nullptr);

    std::string volume = "100";
    char* argv[] = {const_cast<char*>(program), volume.data(), const_cast<char*>(file), nullptr};
    Player player;
    *spawned_ns = now_ns();
    if (posix_spawn(&player.pid, program, &actions, nullptr, argv, env.data()) != 0) fail("posix_spawn");
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[0]);
    player.input = pipe_fds[1];
    return player;
}

void stop_player(Player& player) {
    close(player.input);  // the end of its standard input ends it
    int status;
    waitpid(player.pid, &status, 0);
}

// The AT_US field of an `ev TICK DUE AT WORD` line.
long long at_field(const std::string& line) {
    unsigned long long tick;
    long long due, at;
    if (sscanf(line.c_str(), "ev %llu %lld %lld", &tick, &due, &at) != 3) return -1;
    return at;
}

// Whether the line is an `ev` line of a no-op record; *late_us: its AT_US − DUE_US.
bool closing_rest(const std::string& line, long long* late_us) {
    unsigned long long tick;
    long long due, at;
    unsigned word;
    if (sscanf(line.c_str(), "ev %llu %lld %lld %x", &tick, &due, &at, &word) != 4 || word != 0x02000000) return false;
    *late_us = at - due;
    return true;
}

double us(int64_t ns) { return ns / 1000.0; }

int startup(const std::vector<const char*>& programs, const char* file, int repeats, FILE* out,
            const std::string& fifo) {
    TraceReader trace(fifo);
    const size_t count = programs.size();
    for (int i = 0; i < repeats * int(count); ++i) {
        // Round r starts with program r mod count.
        const size_t which = (size_t(i) + size_t(i) / count) % count;
        int64_t spawned;
        Player player = spawn_player(programs[which], file, fifo, &spawned);
        int64_t deadline = spawned + 5000000000LL;
        std::string line;
        int64_t opened, restarted, first;
        if (!trace.until("open", &line, &opened, deadline) || !trace.until("restart", &line, &restarted, deadline) ||
            !trace.until("ev ", &line, &first, deadline)) {
            fprintf(stderr, "startup: no first record within 5 s\n");
            stop_player(player);
            return 1;
        }
        fprintf(out, "%zu %.1f %.1f %.1f %lld\n", which, us(opened - spawned), us(restarted - spawned),
                us(first - spawned), at_field(line));
        stop_player(player);
        trace.drain_until(now_ns() + 20000000);  // the old process's last lines
    }
    return 0;
}

bool send_name(int fd, const std::string& name) {
    std::string command;
    command += char(name.size() & 0xFF);
    command += char(name.size() >> 8);
    command += name;
    return write(fd, command.data(), command.size()) == ssize_t(command.size());
}

int switches(const char* program, const char* file_a, const char* file_b, int repeats, FILE* out,
             const std::string& fifo) {
    for (const char* name : {file_a, file_b}) {
        size_t length = strlen(name);
        if (length == 0 || (length & 0xFF) == 0 || (length & 0xFF) >= 0x80) {
            fprintf(stderr, "switch: the name %s cannot be sent (length %zu)\n", name, length);
            return 1;
        }
    }
    TraceReader trace(fifo);
    int64_t spawned;
    Player player = spawn_player(program, file_a, fifo, &spawned);
    std::string line;
    int64_t at;
    if (!trace.until("ev ", &line, &at, spawned + 5000000000LL)) {
        fprintf(stderr, "switch: no first record within 5 s\n");
        stop_player(player);
        return 1;
    }
    srand(7);
    int status = 0;
    for (int i = 0; i < repeats && status == 0; ++i) {
        trace.drain_until(now_ns() + 150000000 + rand() % 200000000);
        const char* next = i % 2 == 0 ? file_b : file_a;
        int64_t sent = now_ns();
        if (!send_name(player.input, next)) fail("write command");
        int64_t deadline = sent + 5000000000LL;
        int64_t reset, restarted, first;
        if (!trace.until("reset", &line, &reset, deadline) || !trace.until("restart", &line, &restarted, deadline) ||
            !trace.until("ev ", &line, &first, deadline)) {
            fprintf(stderr, "switch: no record of the new file within 5 s\n");
            status = 1;
            break;
        }
        fprintf(out, "%.1f %.1f %.1f %lld\n", us(reset - sent), us(restarted - sent), us(first - sent),
                at_field(line));
    }
    stop_player(player);
    return status;
}

int seams(const char* program, const char* file, int repeats, FILE* out, const std::string& fifo) {
    TraceReader trace(fifo);
    int64_t spawned;
    Player player = spawn_player(program, file, fifo, &spawned);
    std::string line;
    int status = 0;
    for (int i = 0; i < repeats && status == 0; ++i) {
        int64_t deadline = now_ns() + 5000000000LL;
        int64_t rest = 0, closed, opened, restarted, first;
        long long late = 0;
        bool found = false;
        while (!found && trace.next(&line, &rest, deadline)) found = closing_rest(line, &late);
        if (!found || !trace.until("close", &line, &closed, deadline) || !trace.until("open", &line, &opened, deadline) ||
            !trace.until("restart", &line, &restarted, deadline) || !trace.until("ev ", &line, &first, deadline)) {
            fprintf(stderr, "seam: no closing rest and next pass within 5 s (does the file end with a rest?)\n");
            status = 1;
            break;
        }
        // The lines arrive a little after they are written, by about the same
        // time each: the differences of arrival times stand for the
        // differences of writing times.
        fprintf(out, "%.1f %lld %.1f %.1f %.1f %.1f %lld\n", double(late) + us(first - rest), late, us(closed - rest),
                us(opened - closed), us(restarted - opened), us(first - restarted), at_field(line));
    }
    stop_player(player);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    std::string mode = argc > 1 ? argv[1] : "";
    bool ok_startup = mode == "startup" && argc >= 6;
    bool ok_switch = mode == "switch" && argc == 7;
    bool ok_seam = mode == "seam" && argc == 6;
    if (!ok_startup && !ok_switch && !ok_seam) {
        fprintf(stderr,
                "Usage: %s startup SMFSTREAM FILE REPEATS OUT [FLOOR...]\n"
                "       %s switch SMFSTREAM FILE_A FILE_B REPEATS OUT\n"
                "       %s seam SMFSTREAM FILE REPEATS OUT\n",
                argv[0], argv[0], argv[0]);
        return 2;
    }
    const char* out_path = ok_startup ? argv[5] : argv[argc - 1];
    FILE* out = fopen(out_path, "w");
    if (!out) fail(out_path);
    char dir_template[] = "/tmp/smfstream-bench-XXXXXX";
    if (!mkdtemp(dir_template)) fail("mkdtemp");
    std::string fifo = std::string(dir_template) + "/trace";
    int repeats = atoi(ok_startup ? argv[4] : argv[argc - 2]);
    std::vector<const char*> programs{argv[2]};
    for (int i = 6; ok_startup && i < argc; ++i) programs.push_back(argv[i]);
    int status = ok_startup ? startup(programs, argv[3], repeats, out, fifo)
                 : ok_seam  ? seams(argv[2], argv[3], repeats, out, fifo)
                            : switches(argv[2], argv[3], argv[4], repeats, out, fifo);
    fclose(out);
    unlink(fifo.c_str());
    rmdir(dir_template);
    return status;
}
