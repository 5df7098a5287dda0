// Reads a 16-bit PCM WAV file and looks at it the way a listener would: how
// loud, and where each sound starts and stops. Test helper.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace wav {

struct Audio {
    bool valid = false;
    std::string problem;
    uint32_t sample_rate = 0;
    uint16_t channels = 0;
    uint32_t declared_data_bytes = 0;  // the data chunk's size field
    size_t file_bytes = 0;
    std::vector<float> mono;  // channels averaged, -1..1

    double seconds() const { return sample_rate ? double(mono.size()) / sample_rate : 0; }
};

inline uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
inline uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

// Reads a RIFF/WAVE file of 16-bit PCM; valid only when every size field
// agrees with the file.
inline Audio read(const std::string& path) {
    Audio audio;
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    audio.file_bytes = bytes.size();
    if (bytes.size() < 12 || memcmp(bytes.data(), "RIFF", 4) || memcmp(bytes.data() + 8, "WAVE", 4)) {
        audio.problem = "not a RIFF/WAVE file";
        return audio;
    }
    if (le32(&bytes[4]) + 8 != bytes.size()) {
        audio.problem = "RIFF size " + std::to_string(le32(&bytes[4])) + " for a file of " + std::to_string(bytes.size());
        return audio;
    }
    size_t at = 12;
    bool have_format = false;
    while (at + 8 <= bytes.size()) {
        uint32_t size = le32(&bytes[at + 4]);
        const uint8_t* body = &bytes[at + 8];
        if (at + 8 + size > bytes.size()) {
            audio.problem = "chunk runs past the end of the file";
            return audio;
        }
        if (!memcmp(&bytes[at], "fmt ", 4) && size >= 16) {
            if (le16(body) != 1 || le16(body + 14) != 16) {
                audio.problem = "not 16-bit PCM";
                return audio;
            }
            audio.channels = le16(body + 2);
            audio.sample_rate = le32(body + 4);
            have_format = audio.channels > 0;
        } else if (!memcmp(&bytes[at], "data", 4)) {
            if (!have_format) {
                audio.problem = "data before fmt";
                return audio;
            }
            audio.declared_data_bytes = size;
            size_t frames = size / (2u * audio.channels);
            audio.mono.resize(frames);
            for (size_t f = 0; f < frames; ++f) {
                float sum = 0;
                for (uint16_t c = 0; c < audio.channels; ++c)
                    sum += int16_t(le16(body + 2 * (f * audio.channels + c))) / 32768.0f;
                audio.mono[f] = sum / audio.channels;
            }
            audio.valid = true;
            return audio;
        }
        at += 8 + size + (size & 1);
    }
    audio.problem = "no data chunk";
    return audio;
}

inline float peak(const std::vector<float>& samples, size_t from = 0, size_t to = SIZE_MAX) {
    float best = 0;
    for (size_t i = from; i < std::min(to, samples.size()); ++i) best = std::max(best, std::fabs(samples[i]));
    return best;
}

inline double rms(const std::vector<float>& samples, size_t from = 0, size_t to = SIZE_MAX) {
    double sum = 0;
    size_t end = std::min(to, samples.size()), n = 0;
    for (size_t i = from; i < end; ++i, ++n) sum += double(samples[i]) * samples[i];
    return n ? std::sqrt(sum / n) : 0;
}

// The level in windows of one millisecond: each window's peak.
inline std::vector<float> envelope_ms(const Audio& audio) {
    const size_t window = audio.sample_rate / 1000;
    std::vector<float> level;
    for (size_t at = 0; window && at + window <= audio.mono.size(); at += window)
        level.push_back(peak(audio.mono, at, at + window));
    return level;
}

// Where sounds start, in seconds. An attack is found where the level passes
// `threshold` (a fraction of the file's peak) and `rise` times anything in
// the `before_ms` before it (leaving out the last
// `attack_ms`, where the attack may have begun). Attacks closer than `gap_ms`
// to the previous one count as the same sound.
inline std::vector<double> onsets(const Audio& audio, double threshold = 0.05, double rise = 3, int before_ms = 30,
                                  int attack_ms = 5, int gap_ms = 50) {
    std::vector<double> found;
    const std::vector<float> level = envelope_ms(audio);
    const float top = peak(audio.mono);
    const size_t window = audio.sample_rate / 1000;
    double last = -1;
    for (size_t w = 0; w < level.size(); ++w) {
        float before = 0;
        for (size_t b = w > size_t(before_ms) ? w - before_ms : 0; b + attack_ms < w; ++b)
            before = std::max(before, level[b]);
        const float bar = std::max(float(threshold * top), float(rise * before));
        if (level[w] <= bar) continue;
        // The attack's time: its first sample at half the sound's peak (over
        // the next 20 ms), the same point of every attack whatever came before.
        const size_t begin = (w > size_t(attack_ms) ? w - attack_ms : 0) * window;
        const size_t end = std::min(audio.mono.size(), w * window + 20 * window);
        const float half = peak(audio.mono, w * window, end) / 2;
        size_t i = begin;
        while (i < end && std::fabs(audio.mono[i]) < half) ++i;
        double at = double(i) / audio.sample_rate;
        if (last >= 0 && at - last < gap_ms / 1000.0) continue;
        found.push_back(at);
        last = at;
    }
    return found;
}

// The first sample louder than `quiet` (a fraction of the peak), in seconds;
// the file's length when there is none.
inline double first_sound(const Audio& audio, double quiet = 0.01) {
    const float top = peak(audio.mono);
    for (size_t i = 0; i < audio.mono.size(); ++i)
        if (top > 0 && std::fabs(audio.mono[i]) >= quiet * top) return double(i) / audio.sample_rate;
    return audio.seconds();
}

// The end of the last stretch louder than `quiet` (fraction of the peak)
// between two times, in seconds; `from` when it is quiet throughout.
inline double last_sound(const Audio& audio, double from, double to, double quiet = 0.01) {
    const float top = peak(audio.mono);
    size_t begin = size_t(from * audio.sample_rate), end = std::min(audio.mono.size(), size_t(to * audio.sample_rate));
    double last = from;
    for (size_t i = begin; i < end; ++i)
        if (std::fabs(audio.mono[i]) >= quiet * top) last = double(i + 1) / audio.sample_rate;
    return last;
}

}  // namespace wav
