// Runs a program as a child process for the end-to-end tests: its standard
// input, output and error are pipes; what it writes is collected by two reader
// threads while the test writes commands, so neither side can block the other.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
// The default bound of every wait below: long enough that only a hang reaches it on a busy machine.
inline constexpr Clock::duration hang_bound = std::chrono::seconds(20);

struct ExitStatus {
    bool exited = false;   // ended with exit(); code holds the status
    int code = -1;
    bool signalled = false;  // killed by a signal; signal holds it
    int signal = 0;
    bool hung = false;     // did not end within the time-out and was killed
    std::string report;    // a sanitizer's report on its standard error

    // "exit 0", "signal 11", "hung", and the sanitizer's report: for test messages.
    std::string describe() const;
};

struct SpawnOptions {
    // Variables set (or replaced) on top of the test's own environment. The
    // child's TSAN_OPTIONS always gets halt_on_error=1:exitcode=66 added, so
    // that a data race shows as exit status 66.
    std::map<std::string, std::string> env;
    std::string program;  // the program's path when argv[0] is not it
    std::string cwd;      // the child's working directory, when not the test's
    // Standard error is a pipe that nobody reads (a controller that never
    // reads it): err() stays empty and the child's writes fill the pipe.
    bool stderr_unread = false;
    // Descriptors (0, 1 or 2) the child starts with closed, instead of a pipe.
    std::vector<int> closed_fds;
};

// Exit status of a child that ThreadSanitizer stopped.
constexpr int tsan_report_status = 66;

class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv, const SpawnOptions& options = {});
    ~ChildProcess();  // kills a child that still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }

    // Writes all bytes to the child's standard input; false once it is closed
    // or the child has gone.
    bool write(const void* data, size_t size);
    bool write(const std::vector<uint8_t>& bytes) { return write(bytes.data(), bytes.size()); }
    bool write(const std::string& bytes) { return write(bytes.data(), bytes.size()); }
    void close_stdin();

    // What the child has written so far.
    std::string out() const;
    std::string err() const;

    // Waits until the predicate holds on what the child has written to
    // standard error (or output); false after the time-out or once that stream
    // has ended without it holding.
    bool wait_err(const std::function<bool(const std::string&)>& holds, Clock::duration timeout);
    bool wait_out(const std::function<bool(const std::string&)>& holds, Clock::duration timeout);
    bool wait_err_contains(const std::string& text, Clock::duration timeout = hang_bound);
    bool wait_err_count(const std::string& text, size_t count, Clock::duration timeout = hang_bound);
    bool wait_out_count(const std::string& text, size_t count, Clock::duration timeout = hang_bound);

    // Waits for the child to end; kills it (SIGKILL) after the time-out. Also
    // waits for the reader threads to drain its output.
    ExitStatus wait(Clock::duration timeout = hang_bound);

    // Whether the child is still running.
    bool running();

    // Sends the child a signal (SIGTERM, SIGINT, ...).
    void send_signal(int signal);

private:
    struct Stream {
        std::string text;
        bool ended = false;
    };
    void read_into(int fd, Stream& stream);
    bool wait_on(const Stream& stream, const std::function<bool(const std::string&)>& holds, Clock::duration timeout);
    void finish_readers();

    pid_t pid_ = -1;
    int stdin_fd_ = -1;
    int unread_fd_ = -1;  // the read end of an unread standard error
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Stream out_, err_;
    std::thread out_reader_, err_reader_;
    bool reaped_ = false;
    ExitStatus status_;
};

// Occurrences of text in haystack (not overlapping).
size_t count_of(const std::string& haystack, const std::string& text);

// A fresh directory under the system's temporary directory, removed with all
// it holds when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Writes bytes to a file in the directory and returns its path.
    std::string write(const std::string& name, const std::vector<uint8_t>& bytes) const;

private:
    std::string path_;
};

}  // namespace test
