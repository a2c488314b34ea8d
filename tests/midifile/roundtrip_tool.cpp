// midifile_roundtrip IN OUT: loads IN (a RIFF MIDI file when named .rmi or .riff) and saves it
// as the Standard MIDI File OUT. Prints the header and the event count of every track, or the
// load error and exits with 1. The third-party file tests drive it.
#include <cstdio>
#include <exception>

#include "midifile/mididata.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: midifile_roundtrip IN OUT\n");
        return 2;
    }
    midifile::TMidiData d;
    d.fileName = argv[1];
    try {
        d.load();
    } catch (const std::exception& e) {
        std::printf("error: %s\n", e.what());
        return 1;
    }
    std::printf("format %d tracks %d division %d riff %d\n", d.format(), d.trackCount(), d.ppqn(),
                d.fromRiff() ? 1 : 0);
    for (int i = 0; i < d.trackCount(); ++i)
        std::printf("track %d events %d\n", i, d.track(i)->eventCount());
    d.fileName = argv[2];
    try {
        d.save();
    } catch (const std::exception& e) {
        std::printf("error: %s\n", e.what());
        return 1;
    }
    return 0;
}
