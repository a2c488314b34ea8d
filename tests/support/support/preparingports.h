// A base for test ports: the engine's memory is made at once, on the thread that asks for it
// (the processing thread too), as a front end's worker would make it later; or held back while
// `holdStorage` is set, so a test sees the engine before its memory comes.
#pragma once

#include "engine/midiengine.h"

struct PreparingPorts : EnginePorts {
    MidiEngine* engine = nullptr;
    bool holdStorage = false;

    void storageWanted() noexcept override {
        if (engine && !holdStorage) engine->prepareStorage();
    }
};
