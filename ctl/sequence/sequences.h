// The operation sequences: one start and one step operation per command.
// A start returns a status code (0: entered); a step what it came to.
#pragma once
#include <cstdint>

#include "quillctl.h"
#include "worker/flash_worker.h"

namespace quill {

// The first reset of a connect: open and configure the port, hold the target
// ("Flash Resetting...", "OK."): 0, 9 or 10.
int32_t ConnectPrepare(FlashHandle *h);
// The reset handshake with its report of a refusal ("retrying...",
// "retry count <n>"): 0, 12 or a serial code.
int32_t ResetHandshake(FlashHandle *h);
// One page of the program stream with its progress line; after the last
// page the finish lines, and the sequence ends.
StepResult ProgramNextPage(FlashHandle *h);

int32_t ConnectStart(FlashHandle *h);
StepResult ConnectStep(FlashHandle *h);
int32_t BlankCheckStart(FlashHandle *h);
StepResult BlankCheckStep(FlashHandle *h);
int32_t EraseStart(FlashHandle *h);
StepResult EraseStep(FlashHandle *h);
int32_t ProgramStart(FlashHandle *h);
StepResult ProgramStep(FlashHandle *h);
int32_t VerifyStart(FlashHandle *h);
StepResult VerifyStep(FlashHandle *h);
int32_t ChecksumStart(FlashHandle *h);
StepResult ChecksumStep(FlashHandle *h);
int32_t SecurityStart(FlashHandle *h);
StepResult SecurityStep(FlashHandle *h);
int32_t SignatureStart(FlashHandle *h);
StepResult SignatureStep(FlashHandle *h);

}  // namespace quill
