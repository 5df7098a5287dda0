// smfstream: plays Standard MIDI Files on MIDI output device 0 for a
// controlling process, which steers it through standard input.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control/control_thread.h"
#include "control/stop.h"
#include "playback/play_file.h"
#include "state/messages.h"
#include "state/player_state.h"

int main(int argc, char** argv) {
    // The one option comes before the volume and the file.
    const int options = argc == 4 && strcmp(argv[1], "--loop-points") == 0 ? 1 : 0;
    if (argc - options != 3) {
        fprintf(stderr, "Usage: %s <volume 0-255> <filename.mid>\n", argv[0] ? argv[0] : "smfstream");
        fflush(stderr);
        return 2;
    }
    init_player_state();
    // Before any other thread: the messages' writer, then the clean stop on
    // the console's events.
    start_message_writer();
    install_stop_handlers();
    player_state.volume = atoi(argv[1 + options]);
    player_state.loop_points = options == 1;
    _setmode(_fileno(stdin), _O_BINARY);
    // Each marker goes out in its own write. With a buffer, the end of input
    // could end the process while the pass thread sat between writing a marker
    // and emptying the buffer, and the runtime's flush at exit wrote it again.
    setvbuf(stdout, nullptr, _IONBF, 0);
    // The path is in place before the control thread can store a name over it.
    player_state.current_path = argv[2 + options];
    start_control_thread();
    run_pass_loop();
}
