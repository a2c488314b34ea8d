// The MIDI file library's exceptions. Each carries a fixed English message.
#pragma once

#include <stdexcept>
#include <string>

namespace midifile {

// The base of every error the library raises itself.
class Exception : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A reserved memory stream asked to grow past its capacity, or created or sized with
// impossible numbers.
class EVirtualMemory : public Exception {
public:
    using Exception::Exception;
};

// The system refused to reserve or back a memory stream: out of address space, of memory, or
// of memory maps (every stream is one or two maps, and a process may hold only so many).
class EMemoryExhausted : public EVirtualMemory {
public:
    using EVirtualMemory::EVirtualMemory;
};

// A track chunk that cannot be read, or an insert that cannot be placed.
class EMidiTrackStream : public Exception {
public:
    using Exception::Exception;
};

// A file whose header is not a Standard MIDI File header.
class EMidiData : public Exception {
public:
    using Exception::Exception;
};

// A file that could not be created ("Unable to create %s") or opened ("Unable to open %s").
class EFileCreate : public Exception {
public:
    using Exception::Exception;
};
class EFileOpen : public Exception {
public:
    using Exception::Exception;
};

// A stream that ended before the bytes a reader needed ("Stream read error").
class EReadError : public Exception {
public:
    using Exception::Exception;
};

}  // namespace midifile
