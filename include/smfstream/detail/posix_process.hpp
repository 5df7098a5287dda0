// smfstream/detail/posix_process.hpp: the player's process on POSIX systems,
// for smfstream/controller.hpp (which includes it; not for direct use).
//
// The player runs in a process group of its own, so that ending it ends
// whatever it is: a wrapper script that did not exec the player ends together
// with the player it waits for. Its exit is learnt with waitid(WNOWAIT), which
// leaves it a zombie until reap(): its process id, which is the group's id,
// cannot be reused while a kill may still be sent to the group.
//
// Licence: MIT (the smfstream developers).
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
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

class Process {
public:
    using Id = pid_t;

    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process() {
        for (int* fd : {&input_, &output_, &diagnostics_})
            if (*fd >= 0) ::close(*fd);
    }

    Status spawn(const std::vector<std::string>& argv, const Options& options) {
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
        // A group of its own, and the signals it would have had as a child
        // of a plain shell: none blocked, SIGPIPE and SIGCHLD by default.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGCHLD);
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

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
        pid_ = pid;
        input_ = in[1], output_ = out[0], diagnostics_ = err[0];
        in[1] = out[0] = err[0] = -1;
        close_all();
        return {};
    }

    Id id() const { return pid_; }
    bool has_diagnostics() const { return diagnostics_ >= 0; }

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
        if (input_ >= 0) ::close(input_);
        input_ = -1;
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

    // Kills the player's whole group, wrapper and player alike. Only before
    // reap(); with the caller's lock held, as reap() is.
    void end_group() {
        if (pid_ > 0 && !group_reaped_) ::kill(-pid_, SIGKILL);
    }

    // Once the player has ended (with the status wait_for_exit() gave): frees
    // its zombie. Past this, end_group() sends nothing, as the group's id may
    // then be reused.
    void reap(const ExitStatus& ended) {
        if (pid_ <= 0 || group_reaped_) return;
        if (!ended.unknown) {
            int raw = 0;
            while (waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
            }
        }
        group_reaped_ = true;
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

    static std::size_t read_some(int& fd, char* buffer, std::size_t size) {
        for (;;) {
            const ssize_t got = ::read(fd, buffer, size);
            if (got > 0) return static_cast<std::size_t>(got);
            if (got < 0 && errno == EINTR) continue;
            ::close(fd);
            fd = -1;
            return 0;
        }
    }

    int input_ = -1, output_ = -1, diagnostics_ = -1;
    pid_t pid_ = -1;
    bool group_reaped_ = false;  // reap() has run
};

}  // namespace smfstream::detail
