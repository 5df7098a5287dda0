#include "platform/linux/sound/alsa_device.h"

#include <alsa/asoundlib.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/linux/sound/alsa_event.h"
#include "platform/linux/base/layer_lines.h"
#include "platform/linux/sound/sound_library_quiet.h"

namespace platform {

bool port_takes_our_output(int client, int own_client, unsigned capabilities, const char* client_name,
                           const char* port_name) {
    const unsigned wanted = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    if (client == SND_SEQ_CLIENT_SYSTEM || client == own_client) return false;
    if ((capabilities & wanted) != wanted) return false;
    if (capabilities & SND_SEQ_PORT_CAP_NO_EXPORT) return false;
    return !strstr(client_name, "Through") && !strstr(port_name, "Through");
}

namespace {

class AlsaDevice final : public MidiDevice {
public:
    AlsaDevice(snd_seq_t* seq, int port) : seq_(seq), port_(port) {}
    ~AlsaDevice() override { snd_seq_close(seq_); }

    void play(uint64_t, int64_t, int64_t, DWORD word) override {
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        if (!seq_event_from_word(word, &event)) return;
        std::lock_guard<std::mutex> hold(lock_);
        send(&event);
    }

    // midiOutReset: the pedals go up and every note sent that is still on
    // gets its note-off; controllers stay.
    void reset() override {
        std::lock_guard<std::mutex> hold(lock_);
        release_notes();
    }

    // The process's exit: the same, and nothing more goes out afterwards.
    void silence() override {
        std::lock_guard<std::mutex> hold(lock_);
        release_notes();
        silenced_ = true;
    }

    // A file starts on controllers reset and a centred pitch bend.
    void stream_opened() override {
        std::lock_guard<std::mutex> hold(lock_);
        for (unsigned channel = 0; channel < 16; ++channel) {
            snd_seq_event_t event;
            snd_seq_ev_clear(&event);
            seq_controller_event(channel, 121, 0, &event);
            send(&event);
            snd_seq_ev_clear(&event);
            snd_seq_ev_set_pitchbend(&event, channel, 0);
            send(&event);
        }
    }

    // Like an external port on Windows: no volume of its own, the mixer is
    // the way to it.
    MMRESULT set_volume(DWORD) override { return MMSYSERR_NOTSUPPORTED; }

private:
    void release_notes() {
        for (snd_seq_event_t& event : sounding_.reset_events()) send(&event);
    }

    // One event into the sequencer, under lock_. A failure is said once for
    // each of ALSA's reasons, not once per event. Once the process is ending,
    // nothing goes out: whatever the stream or its teardown still sends (a
    // record, a reset, a new file's controllers) would sound after the silence.
    void send(snd_seq_event_t* event) {
        if (silenced_) return;
        snd_seq_ev_set_source(event, port_);
        snd_seq_ev_set_subs(event);
        snd_seq_ev_set_direct(event);
        int result = snd_seq_event_output_direct(seq_, event);
        if (result >= 0) {
            sounding_.sent(*event);
            return;
        }
        for (int said : failures_said_)
            if (said == result) return;
        failures_said_.push_back(result);
        write_line("smfstream: the ALSA sequencer port did not take an event (%s); further events that fail so are "
                   "not said\n",
                   snd_strerror(result));
    }

    snd_seq_t* seq_;
    int port_;
    std::mutex lock_;  // one event at a time into the sequencer; guards what follows
    SoundingNotes sounding_;
    bool silenced_ = false;
    std::vector<int> failures_said_;
};

bool first_output_port(snd_seq_t* seq, snd_seq_addr_t* address) {
    const int own = snd_seq_client_id(seq);
    snd_seq_client_info_t* client;
    snd_seq_port_info_t* port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(seq, client) >= 0) {
        const int id = snd_seq_client_info_get_client(client);
        snd_seq_port_info_set_client(port, id);
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(seq, port) >= 0) {
            if (!port_takes_our_output(id, own, snd_seq_port_info_get_capability(port),
                                       snd_seq_client_info_get_name(client), snd_seq_port_info_get_name(port)))
                continue;
            *address = *snd_seq_port_info_get_addr(port);
            return true;
        }
    }
    return false;
}

void no_output(const std::string& why) {
    write_line("smfstream: no MIDI output: %s\n", why.c_str());
}

}  // namespace

MidiDevice* open_alsa_device(const std::string& name, MMRESULT* error) {
    quiet_alsa_library();
    *error = MMSYSERR_NODRIVER;
    snd_seq_t* seq = nullptr;
    int result = snd_seq_open(&seq, "default", SND_SEQ_OPEN_OUTPUT, 0);
    if (result < 0) {
        no_output(std::string("cannot open the ALSA sequencer (") + snd_strerror(result) +
                  "); leave SMFSTREAM_DEVICE unset (or set it to synth) for the software synthesizer");
        return nullptr;
    }
    snd_seq_set_client_name(seq, "smfstream");
    const int port = snd_seq_create_simple_port(seq, "smfstream out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                                SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    std::string why;
    snd_seq_addr_t target{};
    if (port < 0) {
        why = std::string("cannot create an ALSA sequencer port (") + snd_strerror(port) + ")";
    } else if (name.empty()) {
        if (!first_output_port(seq, &target))
            why = "no ALSA sequencer port takes MIDI output; name one with SMFSTREAM_DEVICE=alsa:CLIENT:PORT "
                  "(aconnect -o lists them), or leave SMFSTREAM_DEVICE unset for the software synthesizer";
    } else if ((result = snd_seq_parse_address(seq, &target, name.c_str())) < 0) {
        why = "no ALSA sequencer port " + name + " (" + snd_strerror(result) +
              "); set SMFSTREAM_DEVICE=alsa:CLIENT:PORT with a port aconnect -o lists";
    }
    if (why.empty() && (result = snd_seq_connect_to(seq, port, target.client, target.port)) < 0) {
        why = "cannot connect to ALSA sequencer port " + std::to_string(target.client) + ":" +
              std::to_string(target.port) + " (" + snd_strerror(result) +
              "); set SMFSTREAM_DEVICE=alsa:CLIENT:PORT with a port aconnect -o lists";
    }
    if (!why.empty()) {
        snd_seq_close(seq);
        no_output(why);
        return nullptr;
    }
    *error = MMSYSERR_NOERROR;
    return new AlsaDevice(seq, port);
}

}  // namespace platform
