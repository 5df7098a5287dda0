// A tiny controller in C++: plays FIRST at volume 200, and when its first pass
// has ended or SECONDS have passed (a timer), turns the volume down to 100 and
// switches to SECOND; lets SECOND play once, then stops the player cleanly.
//   play_example FIRST.mid SECOND.mid [SECONDS]
// The player is smfstream on the PATH, or the program $SMFSTREAM_PLAYER names.
#include <smfstream/controller.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FIRST.mid SECOND.mid [SECONDS]\n", argv[0]);
        return 2;
    }
    const std::chrono::milliseconds timer(static_cast<long>(1000 * (argc > 3 ? std::atof(argv[3]) : 5.0)));
    smfstream::Options options;
    if (const char* program = std::getenv("SMFSTREAM_PLAYER")) options.program = program;

    smfstream::Player player;
    if (smfstream::Status started = player.start(200, argv[1], options); !started) {
        std::fprintf(stderr, "%s\n", started.message.c_str());
        return 1;
    }
    // The first pass's end, or the timer.
    const auto first = player.wait_for_pass(timer);
    if (!first && first.error != smfstream::errc::timed_out) {
        std::fprintf(stderr, "%s\n", first.message.c_str());
        return 1;
    }
    std::printf("%s: switching to %s\n", first ? "first pass played" : "timer", argv[2]);

    const std::size_t before = player.passes();
    smfstream::Status sent = player.set_volume(100);
    if (sent) sent = player.play(argv[2]);  // a name it cannot send is refused here
    if (!sent) {
        std::fprintf(stderr, "%s\n", sent.message.c_str());
        return 1;
    }
    // The switched pass's marker, then SECOND played once.
    const auto second = player.wait_for_passes(before + 2, std::chrono::seconds(60));
    if (!second) std::fprintf(stderr, "%s\n", second.message.c_str());

    const auto ended = player.stop();
    std::printf("smfstream ended: %s after %zu passes\n", ended.value.describe().c_str(), player.passes());
    return ended && second ? 0 : 1;
}
