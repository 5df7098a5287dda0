// smfstream/detail/windows_process.hpp: the player's process on Windows, for
// smfstream/controller.hpp (which includes it; not for direct use).
//
// The player runs in a job object of its own, so that ending it ends
// whatever it is: a wrapper (a .cmd, say) ends together with the player it
// started. Where the job cannot be made (an older Windows inside a job that
// allows no nesting), only the process itself is ended. The process handle is
// held to the end, so its id is never reused under us.
//
// Licence: MIT (the smfstream developers).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace smfstream::detail {

// A lock with one condition: the system's own (mingw-w64's win32 thread
// model has no std::mutex or std::thread).
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
    Thread() = default;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    ~Thread() { detach(); }

    // False when no thread could be made.
    bool start(std::function<void()> body) {
        auto* owned = new std::function<void()>(std::move(body));
        handle_ = CreateThread(nullptr, 0, &Thread::run, owned, 0, nullptr);
        if (!handle_) delete owned;
        return handle_ != nullptr;
    }
    void join() {
        if (!handle_) return;
        WaitForSingleObject(handle_, INFINITE);
        detach();
    }
    void detach() {
        if (handle_) CloseHandle(handle_);
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

inline void pause(std::chrono::milliseconds time) { Sleep(static_cast<DWORD>(time.count())); }

class Process {
public:
    using Id = unsigned long;

    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process() {
        for (HANDLE* h : {&input_, &output_, &diagnostics_, &process_, &job_})
            if (*h) CloseHandle(*h);
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
        // Suspended until it is in its job, so that nothing it starts escapes.
        if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW | CREATE_SUSPENDED,
                            environment.empty() ? nullptr : environment.data(), nullptr, &startup, &process))
            return fail("cannot start " + argv[0]);
        job_ = CreateJobObjectA(nullptr, nullptr);
        if (job_ && !AssignProcessToJobObject(job_, process.hProcess)) close(job_);
        ResumeThread(process.hThread);
        CloseHandle(process.hThread);
        process_ = process.hProcess;
        id_ = process.dwProcessId;
        close(in_read), close(out_write), close(err_write);
        diagnostics_ = err_read;
        return {};
    }

    Id id() const { return id_; }
    Id owner() const { return GetCurrentProcessId(); }
    bool has_diagnostics() const { return diagnostics_ != nullptr; }

    // Windows has no fork: a Player is always its starter's.
    bool forked_away() const { return false; }
    void release_copies() {}

    // False when the player's input is closed.
    bool write_all(const char* data, std::size_t size) {
        while (size > 0) {
            DWORD wrote = 0;
            if (!WriteFile(input_, data, static_cast<DWORD>(size), &wrote, nullptr)) return false;
            data += wrote;
            size -= wrote;
        }
        return true;
    }

    // With no write under way.
    void close_input() {
        if (input_) CloseHandle(input_);
        input_ = nullptr;
    }

    // For the reader threads, each of its own handle: the bytes read, 0 at
    // its end (the handle is then closed).
    std::size_t read_output(char* buffer, std::size_t size) { return read_some(output_, buffer, size); }
    std::size_t read_diagnostics(char* buffer, std::size_t size) { return read_some(diagnostics_, buffer, size); }

    // Blocks until the player has ended, and says how.
    ExitStatus wait_for_exit() const {
        WaitForSingleObject(process_, INFINITE);
        DWORD code = 0;
        ExitStatus status;
        if (GetExitCodeProcess(process_, &code)) {
            status.exited = true;
            status.code = static_cast<int>(code);
        } else {
            status.unknown = true;
        }
        return status;
    }

    // Ends the player's job: the player and whatever it started. The held
    // process handle keeps the ended player's id ours.
    void end_tree(bool /* ended */) {
        if (job_) TerminateJobObject(job_, 1);
        else if (process_) TerminateProcess(process_, 1);
    }

    // Nothing to free before the handles close: they keep the id ours.
    void reap(const ExitStatus&) {}

private:
    static std::size_t read_some(HANDLE& handle, char* buffer, std::size_t size) {
        DWORD got = 0;
        if (ReadFile(handle, buffer, static_cast<DWORD>(size), &got, nullptr) && got > 0) return got;
        CloseHandle(handle);
        handle = nullptr;
        return 0;
    }

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

    HANDLE input_ = nullptr, output_ = nullptr, diagnostics_ = nullptr, process_ = nullptr, job_ = nullptr;
    Id id_ = 0;
};

}  // namespace smfstream::detail
