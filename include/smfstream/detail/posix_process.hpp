// smfstream/detail/posix_process.hpp: the player's process on POSIX systems,
// for smfstream/controller.hpp (which includes it; not for direct use).
//
// The player stays in the controller's process group, so that the terminal's
// job control treats it as part of the controller's job: Ctrl-Z stops the
// music with the program, fg resumes both, and a controller in the foreground
// keeps a player that writes to the terminal there (stty tostop). A wrapper
// script that does not exec the player is ended with it another way: on
// Linux, end_tree() freezes the player and every process below it, found
// through /proc, and kills them all. Nothing is signalled unless it is
// confirmed ours at that moment: the player while it is unreaped (through a
// pidfd where the system has them, which no other process can ever match),
// each descendant through a pidfd opened before its parent is checked.
//
// Its exit is learnt with waitid(WNOWAIT), which leaves it a zombie until
// reap(). A child forked by the controller closes its copies of every
// player's pipes at the fork (pthread_atfork), so that it never holds a
// player's input open; forked_away() tells a Player that it is in such a
// child, where it does nothing more.
//
// Licence: MIT (the smfstream developers).
#pragma once

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

extern char** environ;

namespace smfstream::detail {

// A lock with one condition.
class Monitor {
public:
    void lock() { mutex_.lock(); }
    bool try_lock() { return mutex_.try_lock(); }
    void unlock() { mutex_.unlock(); }
    void wait(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
        changed_.wait_for(held, timeout);
        held.release();
    }
    void notify() { changed_.notify_all(); }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
};

class Thread {
public:
    Thread() = default;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    ~Thread() { detach(); }

    // False when no thread could be made.
    bool start(std::function<void()> body) {
#if defined(__cpp_exceptions)
        try {
            thread_ = std::thread(std::move(body));
        } catch (...) {
            return false;
        }
#else
        thread_ = std::thread(std::move(body));
#endif
        return true;
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    void detach() {
        if (thread_.joinable()) thread_.detach();
    }

private:
    std::thread thread_;
};

inline void pause(std::chrono::milliseconds time) { std::this_thread::sleep_for(time); }

// The system's pidfds (Linux 5.3 and later): -1 where there are none.
inline int open_pidfd(pid_t pid) {
#if defined(__linux__) && defined(SYS_pidfd_open)
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

// Sends signal through pidfd, or to pid where there is no pidfd.
inline void send_signal(int pidfd, pid_t pid, int signal) {
#if defined(__linux__) && defined(SYS_pidfd_send_signal)
    if (pidfd >= 0) {
        ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0);
        return;
    }
#endif
    (void)pidfd;
    ::kill(pid, signal);
}

// The parent of process pid, or 0 when it has gone (Linux: from /proc).
inline pid_t parent_of(pid_t pid) {
    char path[64], text[512];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (got <= 0) return 0;
    text[got] = '\0';
    const char* after = std::strrchr(text, ')');  // the name may hold anything but ends there
    char state = 0;
    int parent = 0;
    if (!after || std::sscanf(after + 1, " %c %d", &state, &parent) != 2 || state == 'Z') return 0;
    return parent;
}

// Every process's parent, from /proc (empty where there is no /proc).
inline std::unordered_map<pid_t, pid_t> parents() {
    std::unordered_map<pid_t, pid_t> found;
    DIR* proc = ::opendir("/proc");
    if (!proc) return found;
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end) continue;
        if (const pid_t parent = parent_of(static_cast<pid_t>(pid))) found[static_cast<pid_t>(pid)] = parent;
    }
    ::closedir(proc);
    return found;
}

class Process;

// The players started in this process, whose pipes a forked child closes.
struct Registry {
    std::mutex lock;
    std::vector<Process*> processes;
};
inline Registry& registry();

class Process {
public:
    using Id = pid_t;

    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process() {
        if (pid_ > 0) {
            Registry& r = registry();
            std::lock_guard<std::mutex> held(r.lock);
            r.processes.erase(std::remove(r.processes.begin(), r.processes.end(), this), r.processes.end());
        }
        release_copies();
    }

    Status spawn(const std::vector<std::string>& argv, const Options& options) {
        // With the registry held, so that a child forked meanwhile by another
        // thread (fork waits for it) finds the pipes made here registered.
        Registry& r = registry();
        std::lock_guard<std::mutex> registering(r.lock);
        int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
        auto close_all = [&] {
            for (int* fds : {in, out, err})
                for (int i = 0; i < 2; ++i)
                    if (fds[i] >= 0) ::close(fds[i]), fds[i] = -1;
        };
        if (!make_pipe(in) || !make_pipe(out) || (options.stderr_mode == StderrMode::keep && !make_pipe(err))) {
            const int error = errno;
            close_all();
            return Status::failure(errc::start_failed, std::string("cannot make a pipe: ") + std::strerror(error));
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (options.stderr_mode == StderrMode::keep) posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        if (options.stderr_mode == StderrMode::discard)
            posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        // The controller's process group (its job), and the signals it would
        // have had as a child of a plain shell: none blocked, SIGPIPE and
        // SIGCHLD by default.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGCHLD);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

        std::vector<std::string> environment;
        for (char** v = environ; v && *v; ++v) {
            const std::string variable = *v;
            const std::string name = variable.substr(0, variable.find('='));
            const bool replaced = std::any_of(options.environment.begin(), options.environment.end(),
                                              [&](const auto& setting) { return setting.first == name; });
            if (!replaced) environment.push_back(variable);
        }
        for (const auto& [name, value] : options.environment) environment.push_back(name + "=" + value);
        std::vector<char*> envp, args;
        for (std::string& v : environment) envp.push_back(v.data());
        envp.push_back(nullptr);
        std::vector<std::string> argv_copy = argv;
        for (std::string& a : argv_copy) args.push_back(a.data());
        args.push_back(nullptr);

        pid_t pid = -1;
        const int error = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (error != 0) {
            close_all();
            return Status::failure(errc::start_failed, "cannot start " + argv[0] + ": " + std::strerror(error));
        }
        // Our unreaped child: nobody else can have reaped it yet, unless this
        // program ignores SIGCHLD and it ended at once (the watcher then says
        // so, and the pidfd, if any, names a process that has gone).
        pidfd_ = open_pidfd(pid);
        pid_ = pid;
        owner_ = ::getpid();
        input_ = in[1], output_ = out[0], diagnostics_ = err[0];
        in[1] = out[0] = err[0] = -1;
        close_all();
        r.processes.push_back(this);
        return {};
    }

    Id id() const { return pid_; }
    pid_t owner() const { return owner_; }
    bool has_diagnostics() const { return diagnostics_ >= 0; }

    // Whether this is a child forked from the process that started the
    // player: there the Player only lets go of its copies.
    bool forked_away() const { return pid_ > 0 && owner_ != ::getpid(); }

    // Closes this process's copies of the player's pipes and pidfd. In a
    // forked child (by the fork handler), with no lock taken.
    void release_copies() {
        for (std::atomic<int>* fd : {&input_, &output_, &diagnostics_, &pidfd_})
            if (const int f = fd->exchange(-1); f >= 0) ::close(f);
    }

    // Writes everything, with SIGPIPE held back for this thread: a player
    // that has gone makes the write fail with EPIPE instead of ending us.
    // False when the player's input is closed.
    bool write_all(const char* data, std::size_t size) {
        sigset_t pipe_signal, previous, pending;
        sigemptyset(&pipe_signal);
        sigaddset(&pipe_signal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
        sigpending(&pending);
        const bool was_pending = sigismember(&pending, SIGPIPE);
        bool ok = true;
        while (size > 0) {
            const ssize_t wrote = ::write(input_, data, size);
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) {
                ok = false;
                if (errno == EPIPE && !was_pending) {
                    const timespec now{0, 0};
                    while (sigtimedwait(&pipe_signal, nullptr, &now) < 0 && errno == EINTR) {
                    }
                }
                break;
            }
            data += wrote;
            size -= static_cast<std::size_t>(wrote);
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return ok;
    }

    // With no write under way.
    void close_input() {
        if (const int f = input_.exchange(-1); f >= 0) ::close(f);
    }

    // For the reader threads, each of its own descriptor: the bytes read, 0
    // at its end (the descriptor is then closed).
    std::size_t read_output(char* buffer, std::size_t size) { return read_some(output_, buffer, size); }
    std::size_t read_diagnostics(char* buffer, std::size_t size) { return read_some(diagnostics_, buffer, size); }

    // Blocks until the player has ended, and says how, leaving it unreaped.
    // Where the program ignores SIGCHLD (the system then reaps its children
    // itself) or another part of it reaps them, how it ended cannot be
    // learnt: the status says so.
    ExitStatus wait_for_exit() const {
        siginfo_t info{};
        ExitStatus status;
        for (;;) {
            if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) == 0) break;
            if (errno == EINTR) continue;
            status.unknown = true;
            return status;
        }
        if (info.si_code == CLD_EXITED) {
            status.exited = true;
            status.code = info.si_status;
        } else {
            status.signal = info.si_status;
        }
        return status;
    }

    // Kills the player and, on Linux, every process below it (a wrapper's
    // children): each is stopped first, top down, so that none starts
    // another unseen, and then all are killed. ended: the watcher has seen
    // the player end, so that it has nobody below it any more. Only before
    // reap(); with the caller's lock held, as reap() is.
    void end_tree(bool ended) {
        if (pid_ <= 0 || reaped_) return;
        if (ended) return;  // a zombie, whose children are no longer below it
        send_signal(pidfd_, pid_, SIGSTOP);
        struct Found {
            pid_t pid;
            int pidfd;
        };
        std::vector<Found> below;
        for (bool more = true; more;) {
            more = false;
            for (const auto& [pid, parent] : parents()) {
                const bool ours = parent == pid_ || std::any_of(below.begin(), below.end(), [&, p = parent](const Found& f) {
                                      return f.pid == p;
                                  });
                const bool known = std::any_of(below.begin(), below.end(), [&, p = pid](const Found& f) { return f.pid == p; });
                if (!ours || known) continue;
                // Opened first, then confirmed: a pidfd names one process for
                // good, so that one whose parent is still ours is ours.
                const int pidfd = open_pidfd(pid);
                if ((pidfd < 0 && errno != ENOSYS) || parent_of(pid) != parent) {
                    if (pidfd >= 0) ::close(pidfd);
                    continue;
                }
                send_signal(pidfd, pid, SIGSTOP);
                below.push_back({pid, pidfd});
                more = true;
            }
        }
        for (const Found& f : below) {
            send_signal(f.pidfd, f.pid, SIGKILL);
            if (f.pidfd >= 0) ::close(f.pidfd);
        }
        send_signal(pidfd_, pid_, SIGKILL);
    }

    // Once the player has ended (with the status wait_for_exit() gave): frees
    // its zombie. Past this, end_tree() sends nothing, as its id may then be
    // reused.
    void reap(const ExitStatus& ended) {
        if (pid_ <= 0 || reaped_) return;
        if (!ended.unknown) {
            int raw = 0;
            while (waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
            }
        }
        reaped_ = true;
        if (const int f = pidfd_.exchange(-1); f >= 0) ::close(f);
    }

private:
    // A descriptor above the three standard ones, closed on exec.
    static int high_descriptor(int fd) {
        if (fd > 2) return fd;
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        ::close(fd);
        return moved;
    }

    static bool make_pipe(int fds[2]) {
#ifdef __linux__
        if (pipe2(fds, O_CLOEXEC) != 0) return false;
#else
        if (pipe(fds) != 0) return false;
#endif
        for (int i = 0; i < 2; ++i) {
            fds[i] = high_descriptor(fds[i]);
            if (fds[i] >= 0) fcntl(fds[i], F_SETFD, FD_CLOEXEC);
        }
        return fds[0] >= 0 && fds[1] >= 0;
    }

    static std::size_t read_some(std::atomic<int>& fd, char* buffer, std::size_t size) {
        for (;;) {
            const ssize_t got = ::read(fd.load(), buffer, size);
            if (got > 0) return static_cast<std::size_t>(got);
            if (got < 0 && errno == EINTR) continue;
            if (const int f = fd.exchange(-1); f >= 0) ::close(f);
            return 0;
        }
    }

    // Each -1 once closed; atomic, as a forked child closes what it finds.
    std::atomic<int> input_{-1}, output_{-1}, diagnostics_{-1}, pidfd_{-1};
    pid_t pid_ = -1;
    pid_t owner_ = -1;     // the process that started it
    bool reaped_ = false;  // reap() has run
};

// In a child forked while players run: close every copy of their pipes, so
// that the child holds none of their inputs open, and touch nothing else.
inline Registry& registry() {
    static Registry* const r = [] {
        auto* made = new Registry;  // never destroyed: a player may outlive static destruction
        pthread_atfork([] { registry().lock.lock(); }, [] { registry().lock.unlock(); },
                       [] {
                           for (Process* process : registry().processes) process->release_copies();
                           registry().lock.unlock();
                       });
        return made;
    }();
    return *r;
}

}  // namespace smfstream::detail
