// Holds Wine's desktop open for a Windows test run. Any program that loads the common
// controls makes Wine start its desktop process; when two test programs do so at the same
// moment, a second desktop process can be left behind that keeps the Wine session alive, and
// with it the output pipe ctest waits on, for ever. Started once before the tests, this
// program makes the desktop first and keeps it until its ready file is removed.
//
// usage: desktop_keeper.exe READY_FILE
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: desktop_keeper READY_FILE\n", stderr);
        return 2;
    }
    if (!GetDesktopWindow()) return 1;
    std::FILE* ready = std::fopen(argv[1], "w");
    if (!ready) return 1;
    std::fclose(ready);
    // A forgotten keeper goes after two hours rather than holding a prefix for ever.
    for (int waited = 0; waited < 2 * 60 * 60 * 5; ++waited) {
        if (GetFileAttributesA(argv[1]) == INVALID_FILE_ATTRIBUTES) return 0;
        Sleep(200);
    }
    return 0;
}
