// smfstream/controller.hpp: a controller for the smfstream player, for C++17
// programs on POSIX systems and Windows, header-only.
//
// It starts the player with a volume and a file, writes the control protocol
// for it (volume and file-name commands), counts the end-of-pass markers the
// player writes on its standard output, drains its standard error, and stops
// it by ending its input. Every call reports failure as a Status (an
// std::error_code and a message for people); nothing throws.
//
//     smfstream::Player player;
//     if (auto status = player.start(200, "a.mid"); !status) { puts(status.message.c_str()); return 1; }
//     player.wait_for_pass(std::chrono::seconds(60));   // the first pass has ended
//     player.set_volume(100);
//     player.play("b.mid");                             // switches at once
//     auto ended = player.stop();                       // ended.value.code: 0
//
// A name the protocol cannot carry is refused before anything is written:
// an empty name, one whose length's low byte is 0x80 to 0xFF or 0x00 (128 or
// 256 bytes, say: the player would read the first byte as a volume), one
// longer than 32639 bytes, and one with a zero byte in it. A player that has
// died is reported (errc::player_ended), never waited on for ever, and writing
// to it never raises SIGPIPE.
//
// Licence: MIT (the smfstream developers).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>
extern char** environ;
#endif

namespace smfstream {

// What went wrong, as the error codes of Status::error (category "smfstream").
enum class errc {
    bad_volume = 1,   // a volume outside 0 to 255
    unsendable_name,  // a name the protocol cannot carry; nothing was written
    not_running,      // start() has not succeeded, or stop() has been called
    already_started,  // start() on a Player that has started
    start_failed,     // the program could not be started
    player_ended,     // the player has ended (killed, crashed, or ended by itself)
    timed_out,        // no pass ended, or the player did not exit, in time
};

class ErrorCategory : public std::error_category {
public:
    const char* name() const noexcept override { return "smfstream"; }
    std::string message(int code) const override {
        switch (static_cast<errc>(code)) {
        case errc::bad_volume: return "the volume is 0 to 255";
        case errc::unsendable_name: return "the protocol cannot carry this name";
        case errc::not_running: return "the player is not running";
        case errc::already_started: return "the player has already been started";
        case errc::start_failed: return "the player could not be started";
        case errc::player_ended: return "the player has ended";
        case errc::timed_out: return "timed out";
        }
        return "unknown error";
    }
};

inline const std::error_category& error_category() {
    static const ErrorCategory category;
    return category;
}
inline std::error_code make_error_code(errc e) { return {static_cast<int>(e), error_category()}; }

}  // namespace smfstream

template <>
struct std::is_error_code_enum<smfstream::errc> : std::true_type {};

namespace smfstream {

// The outcome of a call: ok, or an error code with a message for people.
struct Status {
    std::error_code error;
    std::string message;
    bool ok() const { return !error; }
    explicit operator bool() const { return ok(); }

    static Status failure(errc code, std::string message) { return {make_error_code(code), std::move(message)}; }
};

// A Status with a value, meaningful when ok() (and for stop(), also after a
// time-out: the status of the killed player).
template <class T>
struct Result : Status {
    T value{};
};

// How the player ended.
struct ExitStatus {
    bool exited = false;  // it exited; code holds its status
    int code = -1;
    int signal = 0;  // POSIX: the signal that ended it

    std::string describe() const {
        if (exited) return "exit status " + std::to_string(code);
        if (signal) return "killed by signal " + std::to_string(signal);
        return "still running";
    }
};

// Where the player's standard error goes.
enum class StderrMode {
    keep,     // read by a thread of ours; its last 64 KiB kept (Player::diagnostics())
    inherit,  // the controller's own standard error
    discard,  // the null device
};

struct Options {
    std::string program = "smfstream";  // a path, or a name looked up on the PATH
    // Variables set for the player on top of the controller's environment,
    // e.g. {"SMFSTREAM_DEVICE", "synth:out.wav"}.
    std::vector<std::pair<std::string, std::string>> environment;
    StderrMode stderr_mode = StderrMode::keep;
};

// The longest name the protocol carries: length bytes 0x7F, 0x7F.
constexpr std::size_t max_name_length = 0x7F + 256 * 0x7F;

// Whether the protocol can carry name, and if not, why.
inline Status check_name(std::string_view name) {
    const std::size_t length = name.size();
    const std::string bytes = "name of " + std::to_string(length) + " bytes";
    if (length == 0) return Status::failure(errc::unsendable_name, "cannot send an empty name");
    if (length > max_name_length)
        return Status::failure(errc::unsendable_name, "cannot send a " + bytes + ": the protocol carries at most " +
                                                          std::to_string(max_name_length) + " bytes");
    const unsigned low = length & 0xFF;
    if (low == 0 || low >= 0x80) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", low);
        return Status::failure(errc::unsendable_name,
                               "cannot send a " + bytes + ": its length's low byte " + hex +
                                   " would read as a volume command (it must be 0x01 to 0x7F)");
    }
    if (name.find('\0') != std::string_view::npos)
        return Status::failure(errc::unsendable_name, "cannot send a name with a zero byte in it");
    return {};
}

namespace detail {

constexpr std::size_t kept_diagnostics = 64 * 1024;

// A lock with one condition, and a thread: the standard ones on POSIX, the
// system's own on Windows (where mingw-w64's win32 thread model has no
// std::thread).
#ifdef _WIN32
class Monitor {
public:
    void lock() { AcquireSRWLockExclusive(&lock_); }
    bool try_lock() { return TryAcquireSRWLockExclusive(&lock_) != 0; }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }
    void wait(std::chrono::milliseconds timeout) {
        SleepConditionVariableSRW(&changed_, &lock_, DWORD(std::min<long long>(timeout.count(), 0x7FFFFFFF)), 0);
    }
    void notify() { WakeAllConditionVariable(&changed_); }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
};

class Thread {
public:
    void start(std::function<void()> body) {
        auto* owned = new std::function<void()>(std::move(body));
        handle_ = CreateThread(nullptr, 0, &Thread::run, owned, 0, nullptr);
        if (!handle_) {
            (*owned)();  // no thread: do the work here rather than never
            delete owned;
        }
    }
    void join() {
        if (!handle_) return;
        WaitForSingleObject(handle_, INFINITE);
        CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    static DWORD WINAPI run(void* argument) {
        std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
        (*body)();
        return 0;
    }
    HANDLE handle_ = nullptr;
};
#else
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
    void start(std::function<void()> body) { thread_ = std::thread(std::move(body)); }
    void join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    std::thread thread_;
};
#endif

inline void pause(std::chrono::milliseconds time) {
#ifdef _WIN32
    Sleep(static_cast<DWORD>(time.count()));
#else
    std::this_thread::sleep_for(time);
#endif
}

class Held {
public:
    explicit Held(Monitor& monitor) : monitor_(monitor) { monitor_.lock(); }
    ~Held() { monitor_.unlock(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

private:
    Monitor& monitor_;
};

// Waits under the held monitor until done() holds or the time-out passes.
template <class Done>
bool wait_until(Monitor& monitor, std::chrono::milliseconds timeout, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        monitor.wait(left + std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace detail

// One player process. Not copyable; the calls may come from several threads.
class Player {
public:
    Player() = default;
    // Stops a player that still runs (stop() with its default time-out).
    ~Player() { stop(); }
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    // Starts `program VOLUME PATH` with its standard input and output on pipes.
    Status start(int volume, const std::string& path, const Options& options = {}) {
        if (volume < 0 || volume > 255) return Status::failure(errc::bad_volume, "the volume is 0 to 255, not " + std::to_string(volume));
        if (started_) return Status::failure(errc::already_started, "this player has already been started");
        Status status = spawn({options.program, std::to_string(volume), path}, options);
        if (!status) return status;
        started_ = true;
        return {};
    }

    // Sends a volume command (0 to 255).
    Status set_volume(int volume) {
        if (volume < 0 || volume > 255) return Status::failure(errc::bad_volume, "the volume is 0 to 255, not " + std::to_string(volume));
        const unsigned char command[2] = {0x00, static_cast<unsigned char>(volume)};
        return send(command, sizeof command);
    }

    // Sends a file name: the running pass ends at once and path plays. A name
    // the protocol cannot carry is refused (errc::unsendable_name) and nothing
    // is written.
    Status play(const std::string& path) {
        if (Status status = check_name(path); !status) return status;
        std::string command;
        command += static_cast<char>(path.size() & 0xFF);
        command += static_cast<char>(path.size() >> 8);
        command += path;
        return send(command.data(), command.size());
    }

    // The end-of-pass markers the player has written so far.
    std::size_t passes() const {
        detail::Held held(monitor_);
        return passes_;
    }

    // Waits until the player has ended `count` passes in all; the value is
    // the count reached. Errors: timed_out, player_ended (it ended first).
    Result<std::size_t> wait_for_passes(std::size_t count, std::chrono::milliseconds timeout) {
        Result<std::size_t> result;
        detail::Held held(monitor_);
        if (!started_) {
            static_cast<Status&>(result) = Status::failure(errc::not_running, "the player has not been started");
            return result;
        }
        const bool reached = detail::wait_until(monitor_, timeout, [&] { return passes_ >= count || ended_; });
        result.value = passes_;
        if (passes_ >= count) return result;
        if (!reached)
            static_cast<Status&>(result) = Status::failure(
                errc::timed_out, "no end of pass " + std::to_string(count) + " within " +
                                     std::to_string(timeout.count()) + " ms (" + std::to_string(passes_) + " so far)");
        else
            static_cast<Status&>(result) = ended_status_locked();
        return result;
    }

    // Waits for the next end of a pass after this call.
    Result<std::size_t> wait_for_pass(std::chrono::milliseconds timeout) { return wait_for_passes(passes() + 1, timeout); }

    // Ends the player the proper way: closes its input, so that it stops with
    // no note left sounding and exits with status 0, and waits for the exit.
    // After the time-out it is killed (errc::timed_out, with the status).
    // Calling it again returns the same status.
    Result<ExitStatus> stop(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        Result<ExitStatus> result;
        if (!started_) {
            static_cast<Status&>(result) = Status::failure(errc::not_running, "the player has not been started");
            return result;
        }
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        bool killed = false;
        // A command still being written to a player that no longer reads
        // holds its input: past the time-out the player is killed, which ends
        // that write.
        while (!write_monitor_.try_lock()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                detail::Held held(monitor_);
                kill_locked();
                killed = true;
                break;
            }
            detail::pause(std::chrono::milliseconds(5));
        }
        if (killed) write_monitor_.lock();
        close_input_locked();
        write_monitor_.unlock();
        {
            detail::Held held(monitor_);
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (!detail::wait_until(monitor_, killed ? std::chrono::milliseconds(0) : left, [&] { return ended_; })) {
                kill_locked();
                killed = true;
            }
            detail::wait_until(monitor_, std::chrono::seconds(10), [&] { return ended_; });
            result.value = exit_;
        }
        out_reader_.join();
        err_reader_.join();
        release_process();
        if (killed)
            static_cast<Status&>(result) = Status::failure(
                errc::timed_out, "the player did not exit within " + std::to_string(timeout.count()) +
                                     " ms of the end of its input and was killed");
        return result;
    }

    // Whether the player has been started and has not ended.
    bool running() const {
        detail::Held held(monitor_);
        return started_ && !ended_;
    }

    // The player's standard error (its last 64 KiB), with StderrMode::keep.
    std::string diagnostics() const {
        detail::Held held(monitor_);
        return diagnostics_;
    }

#ifdef _WIN32
    unsigned long process_id() const { return process_id_; }
#else
    pid_t process_id() const { return pid_; }
#endif

private:
    // The Status for "the player has ended", with its exit and last message.
    Status ended_status_locked() const {
        std::string message = "the player has ended (" + exit_.describe() + ")";
        std::string last = diagnostics_;
        while (!last.empty() && (last.back() == '\n' || last.back() == '\r')) last.pop_back();
        if (const auto cut = last.find_last_of('\n'); cut != std::string::npos) last.erase(0, cut + 1);
        if (!last.empty()) message += "; its last message: " + last;
        return Status::failure(errc::player_ended, message);
    }

    Status send(const void* data, std::size_t size) {
        detail::Held writing(write_monitor_);
        {
            detail::Held held(monitor_);
            if (!started_ || input_closed_) return Status::failure(errc::not_running, "the player is not running");
            if (ended_) return ended_status_locked();
        }
        if (write_all(static_cast<const char*>(data), size)) return {};
        // The player has gone: give the reader of its output a moment to see
        // the exit, so that the message can say how it ended.
        detail::Held held(monitor_);
        detail::wait_until(monitor_, std::chrono::milliseconds(500), [&] { return ended_; });
        return ended_ ? ended_status_locked() : Status::failure(errc::player_ended, "the player's input is closed");
    }

    void on_output(const char* data, std::size_t size) {
        detail::Held held(monitor_);
        passes_ += static_cast<std::size_t>(std::count(data, data + size, '1'));
        monitor_.notify();
    }
    void on_diagnostics(const char* data, std::size_t size) {
        detail::Held held(monitor_);
        diagnostics_.append(data, size);
        if (diagnostics_.size() > 2 * detail::kept_diagnostics)
            diagnostics_.erase(0, diagnostics_.size() - detail::kept_diagnostics);
    }
    void on_exit(ExitStatus status) {
        detail::Held held(monitor_);
        exit_ = status;
        ended_ = true;
        monitor_.notify();
    }

#ifdef _WIN32
    static std::string quoted(const std::string& argument) {
        // The quoting the C runtime's command-line parser undoes.
        if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) return argument;
        std::string out = "\"";
        std::size_t backslashes = 0;
        for (char c : argument) {
            if (c == '\\') {
                ++backslashes;
                continue;
            }
            out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
            backslashes = 0;
            out += c;
        }
        out.append(2 * backslashes, '\\');
        return out + "\"";
    }

    static std::vector<char> environment_block(const Options& options) {
        std::vector<std::string> variables;
        if (char* block = GetEnvironmentStringsA()) {
            for (const char* p = block; *p; p += std::strlen(p) + 1) variables.emplace_back(p);
            FreeEnvironmentStringsA(block);
        }
        for (const auto& [name, value] : options.environment) {
            variables.erase(std::remove_if(variables.begin(), variables.end(),
                                           [&](const std::string& v) {
                                               return v.size() > name.size() && v[name.size()] == '=' &&
                                                      _strnicmp(v.c_str(), name.c_str(), name.size()) == 0;
                                           }),
                            variables.end());
            variables.push_back(name + "=" + value);
        }
        std::sort(variables.begin(), variables.end(),
                  [](const std::string& a, const std::string& b) { return _stricmp(a.c_str(), b.c_str()) < 0; });
        std::vector<char> out;
        for (const std::string& v : variables) out.insert(out.end(), v.c_str(), v.c_str() + v.size() + 1);
        out.push_back('\0');
        return out;
    }

    static std::string last_error_text() {
        char text[256] = "";
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(), 0, text,
                       sizeof text, nullptr);
        std::string out = text;
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
        return out;
    }

    Status spawn(const std::vector<std::string>& argv, const Options& options) {
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE in_read = nullptr, out_write = nullptr, err_write = nullptr, err_read = nullptr;
        auto close = [](HANDLE& h) {
            if (h) CloseHandle(h);
            h = nullptr;
        };
        auto fail = [&](const std::string& what) {
            Status status = Status::failure(errc::start_failed, what + ": " + last_error_text());
            close(in_read), close(out_write), close(err_write), close(err_read), close(input_), close(output_);
            return status;
        };
        if (!CreatePipe(&in_read, &input_, &inheritable, 0)) return fail("cannot make a pipe");
        if (!CreatePipe(&output_, &out_write, &inheritable, 0)) return fail("cannot make a pipe");
        SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);
        if (options.stderr_mode == StderrMode::keep) {
            if (!CreatePipe(&err_read, &err_write, &inheritable, 0)) return fail("cannot make a pipe");
            SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
        } else if (options.stderr_mode == StderrMode::discard) {
            err_write = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                    OPEN_EXISTING, 0, nullptr);
            if (err_write == INVALID_HANDLE_VALUE) err_write = nullptr;
        } else {
            DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(), &err_write, 0,
                            TRUE, DUPLICATE_SAME_ACCESS);
        }
        std::string command_line;
        for (const std::string& argument : argv) command_line += (command_line.empty() ? "" : " ") + quoted(argument);
        std::vector<char> line(command_line.begin(), command_line.end());
        line.push_back('\0');
        std::vector<char> environment;
        if (!options.environment.empty()) environment = environment_block(options);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in_read;
        startup.hStdOutput = out_write;
        startup.hStdError = err_write;
        PROCESS_INFORMATION process{};
        if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                            environment.empty() ? nullptr : environment.data(), nullptr, &startup, &process))
            return fail("cannot start " + argv[0]);
        CloseHandle(process.hThread);
        process_ = process.hProcess;
        process_id_ = process.dwProcessId;
        close(in_read), close(out_write), close(err_write);
        err_input_ = err_read;
        out_reader_.start([this] {
            char buffer[256];
            DWORD got = 0;
            while (ReadFile(output_, buffer, sizeof buffer, &got, nullptr) && got > 0) on_output(buffer, got);
            WaitForSingleObject(process_, INFINITE);
            DWORD code = 0;
            GetExitCodeProcess(process_, &code);
            ExitStatus status;
            status.exited = true;
            status.code = static_cast<int>(code);
            on_exit(status);
        });
        if (err_input_)
            err_reader_.start([this] {
                char buffer[4096];
                DWORD got = 0;
                while (ReadFile(err_input_, buffer, sizeof buffer, &got, nullptr) && got > 0)
                    on_diagnostics(buffer, got);
            });
        return {};
    }

    bool write_all(const char* data, std::size_t size) {
        while (size > 0) {
            DWORD wrote = 0;
            if (!WriteFile(input_, data, static_cast<DWORD>(size), &wrote, nullptr)) return false;
            data += wrote;
            size -= wrote;
        }
        return true;
    }

    // With write_monitor_ held.
    void close_input_locked() {
        detail::Held held(monitor_);
        if (input_) CloseHandle(input_);
        input_ = nullptr;
        input_closed_ = true;
    }

    void kill_locked() {
        if (!ended_ && process_) TerminateProcess(process_, 1);
    }

    void release_process() {
        for (HANDLE* h : {&output_, &err_input_, &process_})
            if (*h) CloseHandle(*h), *h = nullptr;
    }

    HANDLE input_ = nullptr, output_ = nullptr, err_input_ = nullptr, process_ = nullptr;
    unsigned long process_id_ = 0;
#else
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

    Status spawn(const std::vector<std::string>& argv, const Options& options) {
        int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
        auto close_all = [&] {
            for (int* fds : {in, out, err})
                for (int i = 0; i < 2; ++i)
                    if (fds[i] >= 0) ::close(fds[i]), fds[i] = -1;
        };
        if (!make_pipe(in) || !make_pipe(out) ||
            (options.stderr_mode == StderrMode::keep && !make_pipe(err))) {
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
        const int error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) {
            close_all();
            return Status::failure(errc::start_failed, "cannot start " + argv[0] + ": " + std::strerror(error));
        }
        pid_ = pid;
        input_ = in[1], output_ = out[0], err_input_ = err[0];
        in[1] = out[0] = err[0] = -1;
        close_all();
        out_reader_.start([this] {
            char buffer[256];
            for (;;) {
                const ssize_t got = ::read(output_, buffer, sizeof buffer);
                if (got > 0) on_output(buffer, static_cast<std::size_t>(got));
                else if (got == 0 || errno != EINTR) break;
            }
            // Wait for the exit, but leave the process to be reaped under the
            // lock, so that kill_locked() never hits a reused process id.
            siginfo_t info;
            while (waitid(P_PID, pid_, &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
            }
            detail::Held held(monitor_);
            int raw = 0;
            ExitStatus status;
            if (waitpid(pid_, &raw, 0) == pid_) {
                status.exited = WIFEXITED(raw);
                status.code = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
                status.signal = WIFSIGNALED(raw) ? WTERMSIG(raw) : 0;
            }
            exit_ = status;
            ended_ = true;
            monitor_.notify();
        });
        if (err_input_ >= 0)
            err_reader_.start([this] {
                char buffer[4096];
                for (;;) {
                    const ssize_t got = ::read(err_input_, buffer, sizeof buffer);
                    if (got > 0) on_diagnostics(buffer, static_cast<std::size_t>(got));
                    else if (got == 0 || errno != EINTR) break;
                }
            });
        return {};
    }

    // Writes everything, with SIGPIPE held back for this thread: a player
    // that has gone makes the write fail with EPIPE instead of ending us.
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

    // With write_monitor_ held.
    void close_input_locked() {
        detail::Held held(monitor_);
        if (input_ >= 0) ::close(input_);
        input_ = -1;
        input_closed_ = true;
    }

    void kill_locked() {
        if (!ended_ && pid_ > 0) ::kill(pid_, SIGKILL);
    }

    void release_process() {
        for (int* fd : {&output_, &err_input_})
            if (*fd >= 0) ::close(*fd), *fd = -1;
    }

    int input_ = -1, output_ = -1, err_input_ = -1;
    pid_t pid_ = -1;
#endif

    mutable detail::Monitor monitor_;  // guards what follows
    detail::Monitor write_monitor_;    // one command at a time on the player's input
    bool started_ = false;
    bool input_closed_ = false;
    bool ended_ = false;
    std::size_t passes_ = 0;
    ExitStatus exit_;
    std::string diagnostics_;
    detail::Thread out_reader_, err_reader_;
};

}  // namespace smfstream
