/* Corvella's vendor-specific commands, for host programs that want the MIDI log without the
 * editor: read the log lines, choose the file the recording is saved to, save it now, and read
 * what the plug-in had to drop. This header stands alone (C or C++, no other Corvella header).
 *
 * A command is one effVendorSpecific call (dispatcher opcode 50):
 *     dispatcher(effect, 50, CORVELLA_VENDOR_INDEX, command, ptr, 0.0f)
 * index must be CORVELLA_VENDOR_INDEX, the four-character code 'CRVL' (0x4352564C); value is one
 * of the command numbers below; ptr points to what the command names. Every other index or
 * command answers 0 and touches nothing. The commands may be sent from any thread, for instance
 * the host's user-interface thread while its processing thread runs; the plug-in never calls
 * back into the host while it answers one.
 *
 * Numbering (fixed; new commands only ever get new numbers):
 *   1 CORVELLA_READ_LOG       ptr: CorvellaLogRead*. Copies the log lines added since the
 *                             caller's cursor. Answers the number of lines copied (0 or more),
 *                             -1 when ptr, its buffer or its size is unusable.
 *   2 CORVELLA_SET_LOG_FILE   ptr: const char*, a NUL-terminated UTF-8 path ("" or null: none,
 *                             so "save log!" saves nothing). Answers 1. On Windows the file is
 *                             opened through the ANSI code page, as the editor's names are, so
 *                             there a path beyond ASCII may not be found.
 *   3 CORVELLA_GET_LOG_FILE   ptr: CorvellaText*. Answers 1 when the whole name fit, 0 when
 *                             it was cut (length then tells the size needed, less one).
 *   4 CORVELLA_SAVE_LOG       ptr: null or CorvellaText* for the reason of a failure. Writes the
 *                             recording to the log file now, on the calling thread, and answers
 *                             1 on success, 0 on failure (no file name, or the file could not be
 *                             written). The recording is kept either way, so a later save to a
 *                             good file writes every event. No notice is shown: the caller has
 *                             the reason.
 *   5 CORVELLA_GET_COUNTERS   ptr: CorvellaCounters* with `size` set. Answers 1.
 *   6 CORVELLA_READ_LOG_ENTRIES ptr: CorvellaLogEntries*. As CORVELLA_READ_LOG, one entry per
 *                             line with its fields (status, sample clock, host position) for
 *                             status filters and time prefixes. Answers the number of entries
 *                             copied, -1 when ptr, its entries, its capacity or its entrySize
 *                             is unusable.
 */
#ifndef CORVELLA_VENDOR_H
#define CORVELLA_VENDOR_H

#include <stdint.h>

/* 'CRVL', first character in the most significant byte. */
#define CORVELLA_VENDOR_INDEX 0x4352564C

enum {
    CORVELLA_READ_LOG = 1,
    CORVELLA_SET_LOG_FILE = 2,
    CORVELLA_GET_LOG_FILE = 3,
    CORVELLA_SAVE_LOG = 4,
    CORVELLA_GET_COUNTERS = 5,
    CORVELLA_READ_LOG_ENTRIES = 6
};

/* Reading the log. Every line the plug-in logs gets the next sequence number, starting at 0
 * for the first line of the instance. `cursor` is the number of the next line the caller wants
 * (start with 0); the call moves it past the lines it copied. Lines the plug-in no longer holds
 * when asked (it keeps the newest 5,000; a clear, or an open editor, removes lines too) are
 * skipped and counted in `missed`. Each line is copied whole, followed by '\n', and the text is
 * NUL-terminated; the call never writes past `size` bytes and stops at the first line that does
 * not fit. A line is at most 255 characters, so 257 bytes always take one. `pending` tells how
 * many lines are still waiting after this call: call again while it is not 0. */
typedef struct CorvellaLogRead {
    uint64_t cursor;  /* in: next line wanted; out: next line after those copied */
    uint64_t missed;  /* out: lines gone before they could be copied */
    uint64_t pending; /* out: lines still waiting after the ones copied */
    char* buffer;     /* in: where the lines go */
    int32_t size;     /* in: bytes at buffer */
    int32_t length;   /* out: bytes written, without the final NUL */
} CorvellaLogRead;

/* One log line with its fields. */
enum { CORVELLA_LOG_PPQ_VALID = 1, CORVELLA_LOG_BAR_VALID = 2 };
typedef struct CorvellaLogEntry {
    uint64_t sequence;       /* the line's number */
    int64_t sampleClock;     /* sample frames since logging started, at the message */
    double ppqPosition;      /* the host's position in quarter notes (CORVELLA_LOG_PPQ_VALID) */
    double barStartPosition; /* the quarter-note position of its bar (CORVELLA_LOG_BAR_VALID) */
    float sampleRate;        /* the rate the clock counts in; 0 when unknown */
    uint8_t status;          /* the message's status byte; 0 for a line of no message */
    uint8_t numerator;       /* the host's time signature; 0 when unknown */
    uint8_t denominator;
    uint8_t flags;
    uint32_t length;         /* bytes of text, without the NUL */
    uint32_t reserved;       /* 0 */
    char text[256];          /* the line, NUL-terminated */
} CorvellaLogEntry;

/* Reading the log with each line's fields: cursor, missed and pending as in CorvellaLogRead;
 * up to `capacity` entries are copied, in order. */
typedef struct CorvellaLogEntries {
    uint32_t entrySize; /* in: sizeof(CorvellaLogEntry) */
    int32_t capacity;   /* in: entries at `entries` */
    int32_t count;      /* out: entries copied */
    int32_t reserved;   /* 0 */
    uint64_t cursor;    /* in: next line wanted; out: next line after those copied */
    uint64_t missed;    /* out: lines gone before they could be copied */
    uint64_t pending;   /* out: lines still waiting after the ones copied */
    CorvellaLogEntry* entries;
} CorvellaLogEntries;

/* A text answered into the caller's buffer, always NUL-terminated when size is at least 1. */
typedef struct CorvellaText {
    char* text;     /* in: where the text goes */
    int32_t size;   /* in: bytes at text */
    int32_t length; /* out: the whole text's length in bytes, without the NUL */
} CorvellaText;

/* What the plug-in dropped or warned about since it was created (recording: since the
 * recording was last cleared). Set `size` to sizeof(CorvellaCounters); the plug-in fills only
 * the fields that fit, so a caller built against an older, shorter record stays safe. */
typedef struct CorvellaCounters {
    uint32_t size;              /* in: sizeof(CorvellaCounters) */
    uint32_t reserved;          /* 0 */
    uint64_t delayLineDropped;  /* words dropped by a full delay line */
    uint64_t hostQueueDropped;  /* words dropped by a full queue between threads, and knob
                                   messages that never ran */
    uint64_t deviceSendDropped; /* words dropped by the output device's full send queue */
    uint64_t busSendDropped;    /* words the send bus refused: full, or a slot given up */
    uint64_t recordingDropped;  /* events refused because the recording is full */
    uint64_t soundStreams;      /* "Stream is sound!" warnings */
    uint64_t feedbackLoops;     /* "Feedback loop!" warnings */
    uint64_t logLinesDropped;   /* log lines dropped by the 5,000-line bound */
    uint64_t sysexDropped;      /* SysEx dropped: not whole, over 256 KB, or a full queue */
    uint64_t busMalformed;      /* receive-bus words dropped: not one short MIDI message */
} CorvellaCounters;

#endif
