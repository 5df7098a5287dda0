// A device for tests: remembers what the stream sent it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/base/midi_device.h"

struct PlayedRecord {
    uint64_t tick;
    int64_t due_us;
    int64_t at_us;
    DWORD word;
    std::chrono::steady_clock::time_point sent;  // when the device got it
};

class FakeDevice : public platform::MidiDevice, public platform::StreamObserver {
public:
    explicit FakeDevice(bool real_time)
        : pacing_(real_time ? platform::Pacing::due_time : platform::Pacing::as_queued) {}
    explicit FakeDevice(platform::Pacing pacing) : pacing_(pacing) {}

    void stream_opened() override { note("open"); }
    void time_division(DWORD division) override { note("timediv " + std::to_string(division)); }
    void restarted() override { note("restart"); }
    void header_done() override { note("done"); }
    void closed() override { note("close"); }
    void play(uint64_t tick, int64_t due_us, int64_t at_us, DWORD word) override {
        std::lock_guard<std::mutex> hold(mutex_);
        played_.push_back({tick, due_us, at_us, word, std::chrono::steady_clock::now()});
        happenings_.push_back("ev");
    }
    void reset() override { note("reset"); }
    void silence() override { note("silence"); }
    MMRESULT set_volume(DWORD volume) override {
        note("volume " + std::to_string(volume));
        return MMSYSERR_NOERROR;
    }
    platform::Pacing pacing() const override { return pacing_; }
    platform::StreamObserver& observer() override { return *this; }

    std::vector<PlayedRecord> played() {
        std::lock_guard<std::mutex> hold(mutex_);
        return played_;
    }
    std::vector<std::string> happenings() {
        std::lock_guard<std::mutex> hold(mutex_);
        return happenings_;
    }

private:
    void note(std::string what) {
        std::lock_guard<std::mutex> hold(mutex_);
        happenings_.push_back(std::move(what));
    }

    platform::Pacing pacing_;
    std::mutex mutex_;
    std::vector<PlayedRecord> played_;
    std::vector<std::string> happenings_;
};
