// The operation sequences: one start and one step operation per command.
// Every operation returns a status code; 0 goes on (or ended normally).
#pragma once
#include <cstdint>

#include "quillctl.h"

namespace quill {

// The first reset of a connect: open and configure the port, hold the target
// ("Flash Resetting...", "OK."): 0, 9 or 10.
int32_t ConnectPrepare(FlashHandle *h);
// The reset handshake with its report of a refusal ("retrying...",
// "retry count <n>"): 0, 12 or a serial code.
int32_t ResetHandshake(FlashHandle *h);
// One page of the program stream with its progress line; after the last
// page the finish lines and the hand-over.
int32_t ProgramNextPage(FlashHandle *h);

int32_t ConnectStart(FlashHandle *h);
int32_t ConnectStep(FlashHandle *h);
int32_t BlankCheckStart(FlashHandle *h);
int32_t BlankCheckStep(FlashHandle *h);
int32_t EraseStart(FlashHandle *h);
int32_t EraseStep(FlashHandle *h);
int32_t ProgramStart(FlashHandle *h);
int32_t ProgramStep(FlashHandle *h);
int32_t VerifyStart(FlashHandle *h);
int32_t VerifyStep(FlashHandle *h);
int32_t ChecksumStart(FlashHandle *h);
int32_t ChecksumStep(FlashHandle *h);
int32_t SecurityStart(FlashHandle *h);
int32_t SecurityStep(FlashHandle *h);
int32_t SignatureStart(FlashHandle *h);
int32_t SignatureStep(FlashHandle *h);

}  // namespace quill
