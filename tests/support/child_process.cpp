#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

extern char** environ;

namespace test {

namespace {

// A race ends the child with status 66. The player ends with _exit from its
// control thread while its other threads run on, by design: the exit neither
// waits a second for late races (_exit runs nothing that could race) nor
// counts the threads it ends as leaked.
constexpr const char* tsan_exit = "halt_on_error=1:exitcode=66:atexit_sleep_ms=20:report_thread_leaks=0";

// The sanitizer's report in what the child wrote, if there is one.
std::string sanitizer_report(const std::string& err) {
    for (const char* start : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "runtime error:",
                              "ERROR: LeakSanitizer"}) {
        size_t at = err.find(start);
        if (at != std::string::npos) return err.substr(at, 6000);
    }
    return "";
}

std::vector<std::string> child_environment(const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        size_t eq = entry.find('=');
        if (eq == std::string::npos) continue;
        vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [name, value] : extra) vars[name] = value;
    std::string& tsan = vars["TSAN_OPTIONS"];
    tsan = tsan.empty() ? tsan_exit : tsan + ":" + tsan_exit;
    std::vector<std::string> out;
    for (const auto& [name, value] : vars) out.push_back(name + "=" + value);
    return out;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace

std::string ExitStatus::describe() const {
    std::string out = hung ? "hung (killed)"
                      : exited ? "exit " + std::to_string(code)
                      : signalled ? "signal " + std::to_string(signal)
                      : "unknown";
    return report.empty() ? out : out + "\n" + report;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const SpawnOptions& options) {
    // A child that has gone makes writes fail with EPIPE instead of killing the test.
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) return;
    if (pipe2(err, O_CLOEXEC) != 0) return;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    for (int fd : options.closed_fds) posix_spawn_file_actions_addclose(&actions, fd);
    if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
    std::vector<std::string> args = argv;
    std::vector<std::string> vars = child_environment(options.env);
    std::vector<char*> arg_pointers = pointers(args);
    std::vector<char*> var_pointers = pointers(vars);
    const std::string& path = options.program.empty() ? argv.at(0) : options.program;
    pid_t pid;
    int failed = posix_spawn(&pid, path.c_str(), &actions, nullptr, arg_pointers.data(), var_pointers.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (failed) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        return;
    }
    pid_ = pid;
    stdin_fd_ = in[1];
    out_reader_ = std::thread([this, fd = out[0]] { read_into(fd, out_); });
    if (options.stderr_unread) {
        unread_fd_ = err[0];
        err_.ended = true;
    } else {
        err_reader_ = std::thread([this, fd = err[0]] { read_into(fd, err_); });
    }
}

ChildProcess::~ChildProcess() {
    close_stdin();
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        reaped_ = true;
    }
    finish_readers();
    if (unread_fd_ >= 0) close(unread_fd_);
}

void ChildProcess::send_signal(int number) {
    if (pid_ > 0 && !reaped_) kill(pid_, number);
}

void ChildProcess::read_into(int fd, Stream& stream) {
    char chunk[65536];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        std::lock_guard<std::mutex> hold(mutex_);
        if (n <= 0) {
            stream.ended = true;
            changed_.notify_all();
            break;
        }
        stream.text.append(chunk, size_t(n));
        changed_.notify_all();
    }
    close(fd);
}

void ChildProcess::finish_readers() {
    if (out_reader_.joinable()) out_reader_.join();
    if (err_reader_.joinable()) err_reader_.join();
}

bool ChildProcess::write(const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        if (stdin_fd_ < 0) return false;
        ssize_t n = ::write(stdin_fd_, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

void ChildProcess::close_stdin() {
    if (stdin_fd_ >= 0) close(stdin_fd_);
    stdin_fd_ = -1;
}

std::string ChildProcess::out() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return out_.text;
}

std::string ChildProcess::err() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return err_.text;
}

bool ChildProcess::wait_on(const Stream& stream, const std::function<bool(const std::string&)>& holds,
                           Clock::duration timeout) {
    std::unique_lock<std::mutex> hold(mutex_);
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (holds(stream.text)) return true;
        if (stream.ended) return false;
        if (changed_.wait_until(hold, deadline) == std::cv_status::timeout) return holds(stream.text);
    }
}

bool ChildProcess::wait_err(const std::function<bool(const std::string&)>& holds, Clock::duration timeout) {
    return wait_on(err_, holds, timeout);
}

bool ChildProcess::wait_out(const std::function<bool(const std::string&)>& holds, Clock::duration timeout) {
    return wait_on(out_, holds, timeout);
}

bool ChildProcess::wait_err_contains(const std::string& text, Clock::duration timeout) {
    return wait_err([&](const std::string& s) { return s.find(text) != std::string::npos; }, timeout);
}

bool ChildProcess::wait_err_count(const std::string& text, size_t count, Clock::duration timeout) {
    return wait_err([&](const std::string& s) { return count_of(s, text) >= count; }, timeout);
}

bool ChildProcess::wait_out_count(const std::string& text, size_t count, Clock::duration timeout) {
    return wait_out([&](const std::string& s) { return count_of(s, text) >= count; }, timeout);
}

bool ChildProcess::running() {
    if (pid_ <= 0 || reaped_) return false;
    int status;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r != pid_) return true;
    reaped_ = true;
    status_.exited = WIFEXITED(status);
    status_.code = status_.exited ? WEXITSTATUS(status) : -1;
    status_.signalled = WIFSIGNALED(status);
    status_.signal = status_.signalled ? WTERMSIG(status) : 0;
    return false;
}

ExitStatus ChildProcess::wait(Clock::duration timeout) {
    if (pid_ <= 0) {
        ExitStatus none;
        return none;
    }
    auto deadline = Clock::now() + timeout;
    while (running()) {
        if (Clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            int status;
            waitpid(pid_, &status, 0);
            reaped_ = true;
            status_ = {};
            status_.hung = true;
            break;
        }
        std::this_thread::sleep_for(2ms);
    }
    close_stdin();
    finish_readers();
    status_.report = sanitizer_report(err());
    return status_;
}

size_t count_of(const std::string& haystack, const std::string& text) {
    if (text.empty()) return 0;
    size_t n = 0;
    for (size_t at = haystack.find(text); at != std::string::npos; at = haystack.find(text, at + text.size())) ++n;
    return n;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "smfstream-test-XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    std::string path = file(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

}  // namespace test
