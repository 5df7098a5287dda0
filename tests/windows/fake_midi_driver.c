/* A MIDI output driver for Wine's winmm, so that the Windows program's stream
 * can be tested for real under Wine on a machine with no MIDI device.
 *
 * Wine loads it as its audio driver "smftest" (winesmftest.drv; the Wine
 * tests put it in the prefix and name it in HKCU\Software\Wine\Drivers). It
 * offers one MIDI output, and only when SMFTEST_MIDI_LOG names a file: then it
 * appends one line per message it gets, with the microseconds since it was
 * loaded:
 *     <us> open 0 | close 0 | reset 0 | data <8 hex digits> | volume <8 hex digits>
 * A volume word whose low byte is below 0x20 is refused with that byte as the
 * error code (5: MMSYSERR_INVALHANDLE, 8: MMSYSERR_NOTSUPPORTED, ...); any
 * other is taken. Without SMFTEST_MIDI_LOG it offers nothing, and winmm has no
 * MIDI device, as before. Wine's mmdevapi also asks it for audio endpoints: it
 * has none. */
#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>
#include <stdio.h>
#include <stdlib.h>

static FILE *log_file;
static CRITICAL_SECTION log_lock;
static LARGE_INTEGER loaded_at, ticks_per_second;

static void note(const char *what, unsigned long value, int hex) {
    LARGE_INTEGER now;
    if (!log_file) return;
    QueryPerformanceCounter(&now);
    EnterCriticalSection(&log_lock);
    fprintf(log_file, hex ? "%lld %s %08lx\n" : "%lld %s %lu\n",
            (long long)((now.QuadPart - loaded_at.QuadPart) * 1000000 / ticks_per_second.QuadPart), what, value);
    fflush(log_file);
    LeaveCriticalSection(&log_lock);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        const char *path = getenv("SMFTEST_MIDI_LOG");
        InitializeCriticalSection(&log_lock);
        QueryPerformanceFrequency(&ticks_per_second);
        QueryPerformanceCounter(&loaded_at);
        if (path && *path) log_file = fopen(path, "a");
    }
    return TRUE;
}

LRESULT CALLBACK DriverProc(DWORD_PTR id, HDRVR driver, UINT message, LPARAM p1, LPARAM p2) {
    switch (message) {
    case DRV_LOAD: case DRV_FREE: case DRV_OPEN: case DRV_CLOSE: case DRV_ENABLE: case DRV_DISABLE:
        return 1;
    default:
        return DefDriverProc(id, driver, message, p1, p2);
    }
}

DWORD WINAPI modMessage(UINT device, UINT message, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR p2) {
    (void)user;
    switch (message) {
    case DRVM_INIT: case DRVM_EXIT:
        return MMSYSERR_NOERROR;
    case MODM_GETNUMDEVS:
        return log_file ? 1 : 0;
    case MODM_GETDEVCAPS: {
        MIDIOUTCAPSW caps = {0};
        caps.wMid = 0xFF;
        caps.wPid = 1;
        caps.vDriverVersion = 0x100;
        lstrcpyW(caps.szPname, L"smftest");
        caps.wTechnology = MOD_SYNTH;
        caps.wVoices = 16;
        caps.wNotes = 16;
        caps.wChannelMask = 0xFFFF;
        caps.dwSupport = MIDICAPS_VOLUME;
        memcpy((void *)p1, &caps, p2 < sizeof caps ? p2 : sizeof caps);
        return MMSYSERR_NOERROR;
    }
    case MODM_OPEN: note("open", device, 0); return MMSYSERR_NOERROR;
    case MODM_CLOSE: note("close", device, 0); return MMSYSERR_NOERROR;
    case MODM_PREPARE: ((MIDIHDR *)p1)->dwFlags |= MHDR_PREPARED; return MMSYSERR_NOERROR;
    case MODM_UNPREPARE: ((MIDIHDR *)p1)->dwFlags &= ~MHDR_PREPARED; return MMSYSERR_NOERROR;
    case MODM_DATA: note("data", (unsigned long)p1, 1); return MMSYSERR_NOERROR;
    case MODM_RESET: note("reset", device, 0); return MMSYSERR_NOERROR;
    case MODM_SETVOLUME:
        note("volume", (unsigned long)p1, 1);
        return (p1 & 0xFF) < 0x20 ? (DWORD)(p1 & 0xFF) : MMSYSERR_NOERROR;
    default:
        return MMSYSERR_NOTSUPPORTED;
    }
}

/* Wine's mmdevapi: the driver's priority (3: preferred, 0: unavailable) and
 * its audio endpoints (none). */
int WINAPI GetPriority(void) { return log_file ? 3 : 0; }

HRESULT WINAPI GetEndpointIDs(int flow, WCHAR ***ids, GUID **guids, UINT *count, UINT *default_index) {
    (void)flow;
    *ids = NULL;
    *guids = NULL;
    *count = 0;
    *default_index = 0;
    return S_OK;
}

HRESULT WINAPI GetAudioEndpoint(void *key, void *device, void **out) {
    (void)key;
    (void)device;
    *out = NULL;
    return E_NOTIMPL;
}

HRESULT WINAPI GetAudioSessionManager(void *device, void **out) {
    (void)device;
    *out = NULL;
    return E_NOTIMPL;
}
