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
// A name the protocol cannot carry is refused before anything is written, by
// start() and play() alike: an empty name, one whose length's low byte is 0x80
// to 0xFF or 0x00 (128 or 256 bytes, say: the player would read the first
// byte as a volume), one longer than 32639 bytes, and one with a zero byte in
// it. A player that has died is reported (errc::player_ended), never waited
// on for ever, and writing to it never raises SIGPIPE.
//
// Every call may come from any thread at any time. Every wait is bounded:
// stop(timeout) returns within the timeout plus stop_grace whatever the
// player does; when the time is up it kills the player and what the player
// started (Linux: the processes below it; Windows: its job), so a wrapper
// script around the player cannot keep it, or stop(), waiting. The player
// stays in the program's process group (its job): Ctrl-Z in a terminal stops
// the music with the program. In a child forked after start(), the Player
// does nothing to the parent's player. The rules of start, stop, kill and
// reaping, which the Python module follows too: docs/controller-rules.md.
//
// The process handling of each platform is in smfstream/detail/; the
// protocol's limits in smfstream/protocol.hpp.
//
// Licence: MIT (the smfstream developers).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "protocol.hpp"

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
    status_unknown,   // the player has ended, but how could not be learnt
    bad_timeout,      // a negative time-out; nothing was done
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
        case errc::status_unknown: return "the player's exit status could not be learnt";
        case errc::bad_timeout: return "a time-out is 0 or more";
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
    int signal = 0;        // POSIX: the signal that ended it
    bool unknown = false;  // it ended, but how could not be learnt: the program
                           // ignores SIGCHLD, or another part of it reaped the player

    std::string describe() const {
        if (exited) return "exit status " + std::to_string(code);
        if (signal) return "killed by signal " + std::to_string(signal);
        if (unknown) return "exit status unknown";
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
    // --loop-points: the file's intro plays once, then only its loop.
    bool loop_points = false;
};

constexpr std::size_t max_name_length = protocol::max_name_length;

// Whether the protocol can carry name, and if not, why.
inline Status check_name(std::string_view name) {
    const std::size_t length = name.size();
    const std::string bytes = "name of " + std::to_string(length) + " bytes";
    if (length == 0) return Status::failure(errc::unsendable_name, "cannot send an empty name");
    if (length > max_name_length)
        return Status::failure(errc::unsendable_name, "cannot send a " + bytes + ": the protocol carries at most " +
                                                          std::to_string(max_name_length) + " bytes");
    const unsigned low = length & 0xFF;
    if (low < protocol::first_name_low_byte || low > protocol::last_name_low_byte) {
        char why[96];
        std::snprintf(why, sizeof why, "its length's low byte 0x%02X would read as a volume command (it must be 0x%02X to 0x%02X)",
                      low, protocol::first_name_low_byte, protocol::last_name_low_byte);
        return Status::failure(errc::unsendable_name, "cannot send a " + bytes + ": " + why);
    }
    if (name.find('\0') != std::string_view::npos)
        return Status::failure(errc::unsendable_name, "cannot send a name with a zero byte in it");
    return {};
}

// How long stop() may take beyond its time-out: for the killed player's
// processes to go, and its pipes to close.
constexpr std::chrono::milliseconds stop_grace{1000};

}  // namespace smfstream

#ifdef _WIN32
#include "detail/windows_process.hpp"
#else
#include "detail/posix_process.hpp"
#endif

namespace smfstream {
namespace detail {

constexpr std::size_t kept_diagnostics = 64 * 1024;

class Held {
public:
    explicit Held(Monitor& monitor) : monitor_(monitor) { monitor_.lock(); }
    ~Held() { monitor_.unlock(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

private:
    Monitor& monitor_;
};

using Clock = std::chrono::steady_clock;

inline std::chrono::milliseconds left_until(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? left : std::chrono::milliseconds(0);
}

// `time` after `from`, or the clock's last time point when that lies beyond
// it: a caller may pass milliseconds::max() for "for ever".
inline Clock::time_point later(Clock::time_point from, std::chrono::milliseconds time) {
    if (time.count() <= 0) return from;
    const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - from);
    return time < room ? from + time : Clock::time_point::max();
}

inline Clock::time_point deadline_after(std::chrono::milliseconds timeout) { return later(Clock::now(), timeout); }

// Waits under the held monitor until done() holds or the deadline passes.
template <class Done>
bool wait_until(Monitor& monitor, Clock::time_point deadline, Done done) {
    while (!done()) {
        const auto left = left_until(deadline);
        if (left.count() <= 0) return false;
        // In steps of a day at most: the standard library adds the time to the
        // clock in nanoseconds, where "for ever" would overflow.
        monitor.wait(std::min<std::chrono::milliseconds>(left, std::chrono::hours(24)) + std::chrono::milliseconds(1));
    }
    return true;
}

// The life of a Player.
enum class Stage { idle, starting, running, stopping, stopped };

// What a Player shares with its threads. The threads hold it too, so that one
// still reading a pipe that a process that left the player's tree keeps open
// (stop() leaves it behind) touches nothing freed.
struct Shared {
    Monitor monitor;  // guards what follows, except the process's pipes
    Monitor writing;  // one command at a time on the player's input
    Process process;  // its input: under writing; each reader's pipe: that reader's
    Process::Id id{};
    Stage stage = Stage::idle;
    bool input_closed = false;
    bool output_done = false;  // its standard output has ended
    bool ended = false;        // it has ended, and its markers have been counted
    bool killed = false;       // a stop() killed it while it still ran
    ExitStatus exit;
    std::size_t passes = 0;
    std::string diagnostics;
    Thread threads[3];  // the marker reader, the diagnostics reader, the exit watcher
    bool thread_done[3] = {true, true, true};
    Result<ExitStatus> stopped;  // what stop() returned

    bool all_done() const { return thread_done[0] && thread_done[1] && thread_done[2]; }

    // Kills the player and what it started, with the monitor held. A kill
    // that finds the player still running is noted, so that every stop()
    // reports it.
    void end_tree() {
        if (!ended) killed = true;
        process.end_tree(ended);
    }
};

inline void read_markers(const std::shared_ptr<Shared>& shared) {
    char buffer[256];
    while (const std::size_t got = shared->process.read_output(buffer, sizeof buffer)) {
        Held held(shared->monitor);
        shared->passes += static_cast<std::size_t>(std::count(buffer, buffer + got, '1'));
        shared->monitor.notify();
    }
    Held held(shared->monitor);
    shared->output_done = shared->thread_done[0] = true;
    shared->monitor.notify();
}

inline void read_diagnostics(const std::shared_ptr<Shared>& shared) {
    char buffer[4096];
    while (const std::size_t got = shared->process.read_diagnostics(buffer, sizeof buffer)) {
        Held held(shared->monitor);
        shared->diagnostics.append(buffer, got);
        if (shared->diagnostics.size() > 2 * kept_diagnostics)
            shared->diagnostics.erase(0, shared->diagnostics.size() - kept_diagnostics);
    }
    Held held(shared->monitor);
    shared->thread_done[1] = true;
    shared->monitor.notify();
}

// The player counts as ended once its last markers are counted too: the end
// of its output, or, should something else hold that open, a moment later.
inline void watch_exit(const std::shared_ptr<Shared>& shared) {
    const ExitStatus status = shared->process.wait_for_exit();
    Held held(shared->monitor);
    shared->exit = status;
    wait_until(shared->monitor, Clock::now() + std::chrono::milliseconds(200), [&] { return shared->output_done; });
    shared->ended = shared->thread_done[2] = true;
    shared->monitor.notify();
}

}  // namespace detail

// One player process. Not copyable. Every call may come from any thread at
// any time.
class Player {
public:
    Player() : shared_(std::make_shared<detail::Shared>()) {}
    // Stops a player that still runs (stop() with its default time-out). In
    // a child forked after start(): only closes the child's copies of the
    // player's pipes, at once, and leaves the rest as the fork left it (its
    // threads exist in the parent only).
    ~Player() {
        if (!forked_away()) {
            stop();
            return;
        }
        new (orphan_) std::shared_ptr<detail::Shared>(std::move(shared_));  // never destroyed here
    }
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    // Starts `program [--loop-points] VOLUME PATH` with its standard input and output on
    // pipes. PATH is checked as play() checks a name. Of calls made at once,
    // one starts the player and the others get errc::already_started.
    Status start(int volume, const std::string& path, const Options& options = {}) {
        if (volume < 0 || volume > 255) return Status::failure(errc::bad_volume, "the volume is 0 to 255, not " + std::to_string(volume));
        if (Status status = check_name(path); !status) return status;
        detail::Shared& s = *shared_;
        {
            detail::Held held(s.monitor);
            if (s.stage == detail::Stage::starting)
                return Status::failure(errc::already_started, "this player is being started by another call");
            if (s.stage != detail::Stage::idle)
                return Status::failure(errc::already_started, "this player has already been started");
            s.stage = detail::Stage::starting;
        }
        // Only this call touches the process until the stage says running.
        Status status;
        {
            // One player started at a time in this program: while one is being
            // started its pipes can be inherited (on Windows every inheritable
            // handle goes to a child; where there is no pipe2(), a pipe is
            // marked close-on-exec only after it is made), and another player
            // started at that moment would hold them open, this player's input
            // among them, so that closing it would no longer stop this one.
            static detail::Monitor spawning;
            detail::Held held(spawning);
            std::vector<std::string> argv{options.program};
            if (options.loop_points) argv.push_back("--loop-points");
            argv.push_back(std::to_string(volume));
            argv.push_back(path);
            status = s.process.spawn(argv, options);
        }
        if (status) status = start_threads();
        detail::Held held(s.monitor);
        if (status) {
            s.id = s.process.id();
            s.stage = detail::Stage::running;
        } else if (s.stage == detail::Stage::starting) {
            s.stage = detail::Stage::idle;
        }
        s.monitor.notify();
        return status;
    }

    // Sends a volume command (0 to 255).
    Status set_volume(int volume) {
        if (volume < 0 || volume > 255) return Status::failure(errc::bad_volume, "the volume is 0 to 255, not " + std::to_string(volume));
        const unsigned char command[2] = {protocol::volume_command, static_cast<unsigned char>(volume)};
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
        if (forked_away()) return shared_->passes;  // as the fork left it
        detail::Held held(shared_->monitor);
        return shared_->passes;
    }

    // Waits until the player has ended `count` passes in all; the value is
    // the count reached. Errors: timed_out, player_ended (it ended first).
    Result<std::size_t> wait_for_passes(std::size_t count, std::chrono::milliseconds timeout) {
        Result<std::size_t> result;
        if (Status refused = check_timeout(timeout); !refused) {
            static_cast<Status&>(result) = refused;
            return result;
        }
        if (forked_away()) {
            static_cast<Status&>(result) = not_ours();
            return result;
        }
        detail::Shared& s = *shared_;
        detail::Held held(s.monitor);
        if (s.stage == detail::Stage::idle || s.stage == detail::Stage::starting) {
            static_cast<Status&>(result) = Status::failure(errc::not_running, "the player has not been started");
            return result;
        }
        const bool reached = detail::wait_until(s.monitor, detail::deadline_after(timeout),
                                                [&] { return s.passes >= count || s.ended; });
        result.value = s.passes;
        if (s.passes >= count) return result;
        if (!reached)
            static_cast<Status&>(result) = Status::failure(
                errc::timed_out, "no end of pass " + std::to_string(count) + " within " +
                                     std::to_string(timeout.count()) + " ms (" + std::to_string(s.passes) + " so far)");
        else
            static_cast<Status&>(result) = ended_status_locked();
        return result;
    }

    // Waits for the next end of a pass after this call.
    Result<std::size_t> wait_for_pass(std::chrono::milliseconds timeout) { return wait_for_passes(passes() + 1, timeout); }

    // Ends the player the proper way: closes its input, so that it stops with
    // no note left sounding and exits with status 0, and waits for the exit.
    // When the time-out has passed, the player and what it started are
    // killed (errc::timed_out, with the status); stop() returns within the
    // time-out and stop_grace. milliseconds::max() waits for ever (for the
    // player's own exit); a negative time-out is refused (errc::bad_timeout)
    // and nothing is done. Every call does the whole job, so that calls made
    // at once each wait for the one exit, the first to reach its time-out
    // kills, and then each of them reports errc::timed_out; once the player
    // has ended, every later call returns the same status. A call that
    // returns before the player has ended (timed_out, a zero status) leaves
    // the rest to the next. errc::status_unknown: the player has ended, but
    // how could not be learnt (this program ignores SIGCHLD). In a child
    // forked after start(): closes the child's copies of the pipes and
    // returns errc::not_running at once.
    Result<ExitStatus> stop(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        using detail::Stage;
        Result<ExitStatus> result;
        if (Status refused = check_timeout(timeout); !refused) {
            static_cast<Status&>(result) = refused;
            return result;
        }
        detail::Shared& s = *shared_;
        if (forked_away()) {
            s.process.release_copies();
            static_cast<Status&>(result) = not_ours();
            return result;
        }
        const auto deadline = detail::deadline_after(timeout);
        const auto last = detail::later(deadline, stop_grace);
        {
            detail::Held held(s.monitor);
            detail::wait_until(s.monitor, last, [&] { return s.stage != Stage::starting; });
            if (s.stage == Stage::idle || s.stage == Stage::starting) {
                static_cast<Status&>(result) = Status::failure(errc::not_running, "the player has not been started");
                return result;
            }
            if (s.stage == Stage::stopped) return s.stopped;
            s.stage = Stage::stopping;  // no command is written from now on
        }
        close_input(deadline, last);

        detail::Held held(s.monitor);
        if (!detail::wait_until(s.monitor, deadline, [&] { return s.ended && s.all_done(); })) {
            // The player, or something it started holding its pipes, is still there.
            s.end_tree();
            detail::wait_until(s.monitor, last, [&] { return s.ended && s.all_done(); });
        }
        if (s.stage == Stage::stopped) return s.stopped;  // another call finished the job
        if (!s.ended) {
            static_cast<Status&>(result) = Status::failure(
                errc::timed_out, "the player did not end within " + std::to_string(timeout.count()) +
                                     " ms of the end of its input" + (s.killed ? ", even when killed" : ""));
            return result;
        }
        for (int i = 0; i < 3; ++i) {
            if (s.thread_done[i]) s.threads[i].join();  // it has only to return
            else s.threads[i].detach();                 // it keeps the shared state alive
        }
        result.value = s.exit;
        s.process.reap(s.exit);
        if (s.killed)
            static_cast<Status&>(result) = Status::failure(
                errc::timed_out, "the player did not exit within " + std::to_string(timeout.count()) +
                                     " ms of the end of its input and was killed");
        else if (s.exit.unknown)
            static_cast<Status&>(result) = Status::failure(
                errc::status_unknown, "the player has ended, but how could not be learnt: this program ignores "
                                      "SIGCHLD, or another part of it reaped the player");
        s.stopped = result;
        s.stage = Stage::stopped;
        s.monitor.notify();
        return result;
    }

    // Whether the player has been started and has not ended.
    bool running() const {
        if (forked_away()) return false;
        detail::Held held(shared_->monitor);
        return (shared_->stage == detail::Stage::running || shared_->stage == detail::Stage::stopping) && !shared_->ended;
    }

    // The player's standard error (its last 64 KiB), with StderrMode::keep.
    std::string diagnostics() const {
        if (forked_away()) return {};
        detail::Held held(shared_->monitor);
        return shared_->diagnostics;
    }

    // Its process id, once started.
    detail::Process::Id process_id() const {
        if (forked_away()) return shared_->id;
        detail::Held held(shared_->monitor);
        return shared_->id;
    }

private:
    // Starts the readers and the exit watcher; on failure ends the player.
    Status start_threads() {
        detail::Shared& s = *shared_;
        void (*const bodies[3])(const std::shared_ptr<detail::Shared>&) = {detail::read_markers,
                                                                           detail::read_diagnostics, detail::watch_exit};
        for (int i = 0; i < 3; ++i) {
            if (i == 1 && !s.process.has_diagnostics()) continue;
            {
                detail::Held held(s.monitor);
                s.thread_done[i] = false;
            }
            std::shared_ptr<detail::Shared> shared = shared_;
            if (s.threads[i].start([shared, body = bodies[i]] { body(shared); })) continue;
            // No thread: end the player, whose pipes then end the other threads.
            detail::Held held(s.monitor);
            s.thread_done[i] = true;
            s.end_tree();
            s.stage = detail::Stage::stopped;
            static_cast<Status&>(s.stopped) =
                Status::failure(errc::start_failed, "cannot start a thread to read the player's output");
            return s.stopped;
        }
        return {};
    }

    // Closes the player's input once a command being written has been
    // written. One that a player no longer reads holds it: at the deadline
    // the player is killed, once, which ends that write; if the input still
    // cannot be had, the writer closes it when its write ends.
    void close_input(detail::Clock::time_point deadline, detail::Clock::time_point last) {
        detail::Shared& s = *shared_;
        bool writing = false, killed = false;
        while (!(writing = s.writing.try_lock()) && detail::Clock::now() < last) {
            if (!killed && detail::Clock::now() >= deadline) {
                detail::Held held(s.monitor);
                s.end_tree();
                killed = true;
            }
            detail::pause(std::chrono::milliseconds(5));
        }
        if (!writing) return;
        s.process.close_input();
        {
            detail::Held held(s.monitor);
            s.input_closed = true;
        }
        s.writing.unlock();
    }

    bool forked_away() const { return shared_->process.forked_away(); }

    Status not_ours() const {
        return Status::failure(errc::not_running, "the player belongs to process " +
                                                      std::to_string(shared_->process.owner()) +
                                                      ", which started it; this forked child has let go of it");
    }

    static Status check_timeout(std::chrono::milliseconds timeout) {
        if (timeout.count() >= 0) return {};
        return Status::failure(errc::bad_timeout, "a time-out is 0 or more, not " + std::to_string(timeout.count()) + " ms");
    }

    // The Status for "the player has ended", with its exit and last message.
    Status ended_status_locked() const {
        const detail::Shared& s = *shared_;
        std::string message = "the player has ended (" + s.exit.describe() + ")";
        std::string last = s.diagnostics;
        while (!last.empty() && (last.back() == '\n' || last.back() == '\r')) last.pop_back();
        if (const auto cut = last.find_last_of('\n'); cut != std::string::npos) last.erase(0, cut + 1);
        if (!last.empty()) message += "; its last message: " + last;
        return Status::failure(errc::player_ended, message);
    }

    Status send(const void* data, std::size_t size) {
        if (forked_away()) return not_ours();
        detail::Shared& s = *shared_;
        detail::Held writing(s.writing);
        {
            detail::Held held(s.monitor);
            if (s.stage != detail::Stage::running || s.input_closed)
                return Status::failure(errc::not_running, "the player is not running");
            if (s.ended) return ended_status_locked();
        }
        const bool written = s.process.write_all(static_cast<const char*>(data), size);
        detail::Held held(s.monitor);
        if (s.stage != detail::Stage::running && !s.input_closed) {
            // stop() gave up waiting for this write: the input is ours to close.
            s.process.close_input();
            s.input_closed = true;
        }
        if (written) return {};
        // The player has gone: give the watcher a moment to see the exit, so
        // that the message can say how it ended.
        detail::wait_until(s.monitor, detail::Clock::now() + std::chrono::milliseconds(500), [&] { return s.ended; });
        return s.ended ? ended_status_locked() : Status::failure(errc::player_ended, "the player's input is closed");
    }

    std::shared_ptr<detail::Shared> shared_;
    // Where a forked child's ~Player leaves shared_, undestroyed: the
    // parent's threads hold it too, and do not exist here to let it go.
    alignas(std::shared_ptr<detail::Shared>) unsigned char orphan_[sizeof(std::shared_ptr<detail::Shared>)];
};

}  // namespace smfstream
