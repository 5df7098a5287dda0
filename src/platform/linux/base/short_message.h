// A stream record's dwEvent read as the MIDI message a device sends: the kind
// of message, its channel and its data bytes. Tempo and no-op records, and
// system messages, are nothing to sound.
#pragma once

#include <cstdint>

#include "platform/linux/base/win_types.h"

namespace platform {

struct ShortMessage {
    enum class Kind { none, note_off, note_on, key_pressure, control_change, program_change, channel_pressure, pitch_bend };
    Kind kind = Kind::none;
    uint8_t channel = 0;  // 0..15
    uint8_t data1 = 0;    // key, controller, program or pressure, 0..127
    uint8_t data2 = 0;    // velocity, value or pressure, 0..127
    int bend = 0;         // pitch bend, 0..16383 (8192 is the centre)
};

// Only records whose top byte is MEVT_SHORTMSG (0) and whose status is a
// channel status (0x80..0xEF) give a message; data bytes keep their low 7 bits.
inline ShortMessage decode_short_message(DWORD word) {
    ShortMessage message;
    if ((word >> 24) != 0) return message;
    uint8_t status = uint8_t(word);
    if (status < 0x80 || status >= 0xF0) return message;
    message.channel = status & 0x0F;
    message.data1 = uint8_t(word >> 8) & 0x7F;
    message.data2 = uint8_t(word >> 16) & 0x7F;
    switch (status >> 4) {
    case 0x8: message.kind = ShortMessage::Kind::note_off; break;
    case 0x9: message.kind = ShortMessage::Kind::note_on; break;
    case 0xA: message.kind = ShortMessage::Kind::key_pressure; break;
    case 0xB: message.kind = ShortMessage::Kind::control_change; break;
    case 0xC: message.kind = ShortMessage::Kind::program_change; message.data2 = 0; break;
    case 0xD: message.kind = ShortMessage::Kind::channel_pressure; message.data2 = 0; break;
    case 0xE: message.kind = ShortMessage::Kind::pitch_bend; message.bend = message.data1 | message.data2 << 7; break;
    }
    return message;
}

}  // namespace platform
