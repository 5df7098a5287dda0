#include "platform/linux/winmm/mixer_lines.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace platform {

namespace {

// winmm's values for what the records report.
constexpr DWORD object_type_mask = 0xF0000000u;
constexpr DWORD line_query_mask = 0x0000000Fu;
constexpr DWORD controls_query_mask = 0x0000000Fu;
constexpr DWORD details_query_mask = 0x0000000Fu;
constexpr DWORD mixerline_linef_active = 0x00000001u;
constexpr DWORD mixerline_componenttype_dst_speakers = 0x00000004u;
constexpr DWORD mixerline_targettype_waveout = 1;
constexpr DWORD mixercontrol_controlf_uniform = 0x00000001u;
constexpr DWORD mixer_getlineinfof_lineid = 0x00000002u;

bool object_type_known(DWORD flags) {
    DWORD type = flags & object_type_mask;
    return type == MIXER_OBJECTF_MIXER || type == MIXER_OBJECTF_HMIXER;
}

// Copies text into a fixed field, cut to fit, always terminated.
template <size_t N>
void put_name(CHAR (&field)[N], const std::string& text) {
    size_t length = std::min(text.size(), N - 1);
    memcpy(field, text.data(), length);
    field[length] = '\0';
}

void describe_destination(const MixerCard& card, size_t i, MIXERLINEA* line) {
    const MixerElement& element = card.destinations[i];
    line->dwDestination = DWORD(i);
    line->dwSource = 0;
    line->dwLineID = mixer_destination_line_id(i);
    line->fdwLine = mixerline_linef_active;
    line->dwUser = 0;
    line->dwComponentType = mixerline_componenttype_dst_speakers;
    line->cChannels = element.channels;
    line->cConnections = 0;
    line->cControls = 1;
    put_name(line->szShortName, element.name);
    put_name(line->szName, element.name);
    line->Target.dwType = mixerline_targettype_waveout;
    line->Target.dwDeviceID = 0;
    line->Target.wMid = 0;
    line->Target.wPid = 0;
    line->Target.vDriverVersion = 0;
    put_name(line->Target.szPname, card.name);
}

void describe_volume_control(const MixerCard& card, size_t i, MIXERCONTROLA* control) {
    const MixerElement& element = card.destinations[i];
    memset(control, 0, sizeof *control);
    control->cbStruct = sizeof *control;
    control->dwControlID = mixer_volume_control_id(i);
    control->dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
    control->fdwControl = mixercontrol_controlf_uniform;
    control->cMultipleItems = 0;
    put_name(control->szShortName, "Volume");
    put_name(control->szName, element.name + " Volume");
    control->Bounds.dwMinimum = 0;
    control->Bounds.dwMaximum = 65535;
    control->Metrics.cSteps = DWORD(std::max(1L, element.maximum - element.minimum));
}

// The destination a line identifier or control identifier names, or -1.
long destination_of_line(const MixerCard& card, DWORD line_id) {
    DWORD i = line_id - mixer_destination_line_id(0);
    return line_id >= mixer_destination_line_id(0) && i < card.destinations.size() ? long(i) : -1;
}

long destination_of_control(const MixerCard& card, DWORD control_id) {
    return control_id < card.destinations.size() ? long(control_id) : -1;
}

}  // namespace

long element_volume(DWORD value, long minimum, long maximum) {
    if (maximum <= minimum) return minimum;
    const long long span = (long long)maximum - minimum;
    const long long scaled = ((long long)std::min<DWORD>(value, 65535) * span + 32767) / 65535;
    return long(minimum + scaled);
}

long element_volume_db(DWORD value, long minimum_db, long maximum_db) {
    if (value == 0 || maximum_db <= minimum_db) return minimum_db;
    // Rounded to the nearest hundredth, halves away from zero, without libm
    // (the program loads no library it can do without).
    const double hundredths = volume_taper_db(unsigned(std::min<DWORD>(value, 65535))) * 100;
    const long level = maximum_db + (hundredths < 0 ? -long(0.5 - hundredths) : long(hundredths + 0.5));
    return std::max(level, minimum_db);
}

MMRESULT fill_mixer_caps(const MixerCard& card, MIXERCAPSA* caps, UINT caps_size) {
    if (!caps) return MMSYSERR_INVALPARAM;
    MIXERCAPSA full{};
    put_name(full.szPname, card.name);
    full.cDestinations = DWORD(card.destinations.size());
    memcpy(caps, &full, std::min<size_t>(caps_size, sizeof full));
    return MMSYSERR_NOERROR;
}

MMRESULT fill_mixer_line(const MixerCard& card, MIXERLINEA* line, DWORD flags) {
    if (!line || line->cbStruct < sizeof *line) return MMSYSERR_INVALPARAM;
    if (!object_type_known(flags)) return MMSYSERR_INVALFLAG;
    switch (flags & line_query_mask) {
    case MIXER_GETLINEINFOF_DESTINATION:
        if (line->dwDestination >= card.destinations.size()) return MIXERR_INVALLINE;
        describe_destination(card, line->dwDestination, line);
        return MMSYSERR_NOERROR;
    case MIXER_GETLINEINFOF_SOURCE:
        // A destination here has no sources.
        return MIXERR_INVALLINE;
    case mixer_getlineinfof_lineid: {
        long i = destination_of_line(card, line->dwLineID);
        if (i < 0) return MIXERR_INVALLINE;
        describe_destination(card, size_t(i), line);
        return MMSYSERR_NOERROR;
    }
    default: return MMSYSERR_INVALFLAG;
    }
}

MMRESULT fill_mixer_controls(const MixerCard& card, MIXERLINECONTROLSA* controls, DWORD flags) {
    if (!controls || controls->cbStruct < sizeof *controls) return MMSYSERR_INVALPARAM;
    if (!controls->pamxctrl || controls->cbmxctrl < sizeof(MIXERCONTROLA)) return MMSYSERR_INVALPARAM;
    if (!object_type_known(flags)) return MMSYSERR_INVALFLAG;
    long i = -1;
    switch (flags & controls_query_mask) {
    case MIXER_GETLINECONTROLSF_ALL:
        i = destination_of_line(card, controls->dwLineID);
        if (i < 0) return MIXERR_INVALLINE;
        if (controls->cControls != 1) return MMSYSERR_INVALPARAM;
        break;
    case MIXER_GETLINECONTROLSF_ONEBYID:
        i = destination_of_control(card, controls->dwControlID);
        if (i < 0) return MIXERR_INVALCONTROL;
        controls->dwLineID = mixer_destination_line_id(size_t(i));
        break;
    case MIXER_GETLINECONTROLSF_ONEBYTYPE:
        i = destination_of_line(card, controls->dwLineID);
        if (i < 0) return MIXERR_INVALLINE;
        if (controls->dwControlType != DWORD(MIXERCONTROL_CONTROLTYPE_VOLUME)) return MIXERR_INVALCONTROL;
        break;
    default: return MMSYSERR_INVALFLAG;
    }
    describe_volume_control(card, size_t(i), controls->pamxctrl);
    return MMSYSERR_NOERROR;
}

MMRESULT mixer_volume_request(const MixerCard& card, const MIXERCONTROLDETAILS* details, DWORD flags,
                              size_t* destination, long* volume) {
    if (!details || details->cbStruct < sizeof *details) return MMSYSERR_INVALPARAM;
    if (!object_type_known(flags)) return MMSYSERR_INVALFLAG;
    if ((flags & details_query_mask) != MIXER_SETCONTROLDETAILSF_VALUE) return MMSYSERR_INVALFLAG;
    long i = destination_of_control(card, details->dwControlID);
    if (i < 0) return MIXERR_INVALCONTROL;
    if (details->cMultipleItems != 0 || details->cChannels == 0 ||
        details->cbDetails < sizeof(MIXERCONTROLDETAILS_UNSIGNED) || !details->paDetails)
        return MMSYSERR_INVALPARAM;
    // The control is uniform: the first channel's value sets every channel.
    const auto* value = static_cast<const MIXERCONTROLDETAILS_UNSIGNED*>(details->paDetails);
    const MixerElement& element = card.destinations[size_t(i)];
    *destination = size_t(i);
    *volume = element.decibels ? element_volume_db(value->dwValue, element.minimum_db, element.maximum_db)
                               : element_volume(value->dwValue, element.minimum, element.maximum);
    return MMSYSERR_NOERROR;
}

}  // namespace platform
