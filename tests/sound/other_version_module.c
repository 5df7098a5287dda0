/* A sound module of another interface version, for the loader to refuse:
 * only its version and size can be trusted, so nothing else is filled. */
#include "platform/linux/base/sound_module_abi.h"

static const smfstream_sound_table table = {.abi_version = SMFSTREAM_SOUND_ABI_VERSION + 1,
                                            .size = sizeof(smfstream_sound_table) + 8};

__attribute__((visibility("default"))) const smfstream_sound_table* smfstream_sound_module(void) { return &table; }
