// What runs next: the one place that decides how a command's sequences
// follow each other, and the only one that keeps the flags those decisions
// read. The worker asks it which sequence a command message starts with and,
// when a step reports its sequence's successful end, which one follows.
#pragma once
#include <cstdint>

#include "quillctl.h"

namespace quill {

// How a sequence ended (successfully) as far as the hand-over cares.
enum class SequenceEnd {
    kAllBlank,         // blank check: every block blank
    kNotBlank,         // blank check: a block not blank
    kErased,           // erase of the blocks or the chip finished
    kProgrammed,       // programming and its internal verify finished
    kVerified,         // verify finished
    kChecksumMatched,  // checksum compared equal
    kChecksumDiffers,  // checksum compared unequal
    kDone,             // connect, security, signature: nothing ever follows
};

// The command's flags the rules look at.
struct HandOverContext {
    uint8_t options = 0;       // PRR_OPT_* bits
    bool epvRunning = false;   // inside an autoprocedure
    bool eraseAfterBlank = false;  // an erase request that began with a blank check
    bool followOn = false;     // a verify or checksum requested on its own
};

struct HandOver {
    int32_t next;      // PRR_STATE_* to start, or PRR_STATE_IDLE: the command ends
    const char *note;  // record written before, or null
};

// The first rule that fits `end` in `c`; without one the command ends.
HandOver NextAfter(SequenceEnd end, const HandOverContext &c);

// A sequence's successful end (`end`, a SequenceEnd): writes the rule's note
// and returns the state the worker starts next, or PRR_STATE_IDLE when the
// command ends. The worker's table points at it.
int32_t NextSequence(FlashHandle *h, int32_t end);

// The command has ended: its flags are cleared for the next one.
void EndHandOver(FlashHandle *h);

// The sequence a command message starts with, and the flags it sets on the
// handle (epvRunning, eraseAfterBlank, followOn); -1 for a message that
// starts none. The worker's table points at it.
int32_t FirstSequence(FlashHandle *h, uint32_t message);

}  // namespace quill
