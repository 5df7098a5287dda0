/* The sound module's interface, in C: the program and the module may be built
 * apart (another compiler, another C++ runtime, each linking its own), so
 * nothing C++ crosses it. The module's one symbol returns a table of plain C
 * functions; devices and mixers are opaque handles; names are copied into
 * buffers the caller owns; the module's lines go out through the program's
 * writer. The table begins with the interface's version and its own size: a
 * program refuses a module of another version. */
#ifndef SMFSTREAM_SOUND_MODULE_ABI_H
#define SMFSTREAM_SOUND_MODULE_ABI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Raised with any change to the table or to what its functions mean. */
#define SMFSTREAM_SOUND_ABI_VERSION 3u

/* The module's one symbol: const smfstream_sound_table* smfstream_sound_module(void). */
#define SMFSTREAM_SOUND_ENTRY "smfstream_sound_module"

typedef struct smfstream_sound_device smfstream_sound_device; /* an open device */
typedef struct smfstream_sound_mixer smfstream_sound_mixer;   /* card 0's mixer */

/* How a device takes its records (the device interface's Pacing). */
enum smfstream_sound_pacing {
    SMFSTREAM_PACING_DUE_TIME = 0, /* each at its due time */
    SMFSTREAM_PACING_OWN_CLOCK = 1 /* each as soon as queued; the device plays it at its due time */
};

/* One playback element of card 0 that has a volume. */
typedef struct smfstream_mixer_destination {
    char name[64]; /* NUL-terminated, cut to fit */
    int64_t minimum, maximum; /* its playback volume range */
    uint32_t channels;
    uint32_t decibels;           /* nonzero: the range below is known, in hundredths of a decibel */
    int64_t minimum_db, maximum_db;
} smfstream_mixer_destination;

typedef struct smfstream_sound_table {
    uint32_t abi_version; /* SMFSTREAM_SOUND_ABI_VERSION as the module was built */
    uint32_t size;        /* sizeof(smfstream_sound_table) as the module was built */

    /* The program's writer of whole lines on standard error (never blocks);
     * given before any other call. */
    void (*set_line_writer)(void (*writer)(const char* line));

    /* Opens a device: the synthesizer (wav_path: "" for the audio driver, or a
     * WAV file) or an ALSA sequencer port ("" for the first that takes MIDI).
     * Null on failure, after one line saying why, with *error set (a winmm
     * MMRESULT). A device lives as long as the process. */
    smfstream_sound_device* (*open_synth)(const char* wav_path, uint32_t* error);
    smfstream_sound_device* (*open_alsa)(const char* port, uint32_t* error);

    /* The device interface's calls (midi_device.h), one entry each, with
     * the same meaning. */
    void (*stream_opened)(smfstream_sound_device* device);
    void (*time_division)(smfstream_sound_device* device, uint32_t division);
    void (*restarted)(smfstream_sound_device* device);
    void (*play)(smfstream_sound_device* device, uint64_t tick, int64_t due_us, int64_t at_us, uint32_t word);
    void (*reset)(smfstream_sound_device* device);
    void (*silence)(smfstream_sound_device* device);
    void (*finish)(smfstream_sound_device* device);
    uint32_t (*set_volume)(smfstream_sound_device* device, uint32_t volume); /* an MMRESULT */
    int (*pacing)(smfstream_sound_device* device); /* a smfstream_sound_pacing */

    /* Card 0's mixer: null when there is none. Its name goes into card_name
     * (card_name_size bytes, NUL-terminated), its destination count into
     * *destinations. */
    smfstream_sound_mixer* (*open_mixer)(char* card_name, size_t card_name_size, size_t* destinations);
    /* Destination i; zero when there is no such destination. */
    int (*mixer_destination)(smfstream_sound_mixer* mixer, size_t i, smfstream_mixer_destination* out);
    /* Nonzero on success; the volume in hundredths of a decibel where the
     * destination has decibels, else in its raw range. */
    int (*set_mixer_volume)(smfstream_sound_mixer* mixer, size_t destination, int64_t volume);
    void (*close_mixer)(smfstream_sound_mixer* mixer);
} smfstream_sound_table;

#ifdef __cplusplus
}
#endif

#endif
