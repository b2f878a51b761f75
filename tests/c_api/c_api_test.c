/* Uses the library from C through its public header only.
 *
 * The records are shared memory between the library and its callers, so their
 * layout is part of the interface: the static assertions below pin the field
 * order, the fixed array sizes and the named constants, and a reordered field
 * or a renumbered constant stops this file from compiling. */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <pthread.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "quillctl.h"

/* ---- Layout ------------------------------------------------------------- */

#define ORDER(T, a, b) _Static_assert(offsetof(T, a) < offsetof(T, b), #T ": " #a " comes before " #b)
#define CHAIN2(T, a, b) ORDER(T, a, b)
#define CHAIN3(T, a, b, c) ORDER(T, a, b); ORDER(T, b, c)
#define CHAIN4(T, a, b, c, d) CHAIN3(T, a, b, c); ORDER(T, c, d)
#define CHAIN5(T, a, b, c, d, e) CHAIN4(T, a, b, c, d); ORDER(T, d, e)
#define CHAIN6(T, a, b, c, d, e, f) CHAIN5(T, a, b, c, d, e); ORDER(T, e, f)
#define FIRST(T, a) _Static_assert(offsetof(T, a) == 0, #T ": " #a " comes first")
#define MEMBER(T, m) (((T *)0)->m)
#define COUNT(T, m, n) _Static_assert(sizeof MEMBER(T, m) / sizeof MEMBER(T, m)[0] == (n), #T "." #m "[" #n "]")
#define BYTES(T, m, n) _Static_assert(sizeof MEMBER(T, m) == (n), #T "." #m " holds " #n " bytes")

FIRST(FlashHandle, name);
CHAIN6(FlashHandle, name, notifyWindow, notifyMessage, loadFile, workerThread, workerThreadId);
CHAIN6(FlashHandle, workerThreadId, event, semaphore, ring, readIndex, writeIndex);
CHAIN6(FlashHandle, writeIndex, state, step, stepTick, abortRequested, reset);
CHAIN6(FlashHandle, reset, area, device, commandOptions, securityByte, securityArg1);
CHAIN6(FlashHandle, securityArg1, securityArg2, port, commandSet, readTimeoutMs, firstBlock);
CHAIN6(FlashHandle, firstBlock, lastBlock, currentBlock, retryCount, epvRunning, eraseAfterBlank);
CHAIN6(FlashHandle, eraseAfterBlank, rangeStart, rangeEnd, totalBytes, bytesSent, leadPad);
CHAIN6(FlashHandle, leadPad, leadDone, imageBytes, imageDone, tailPad, tailDone);
CHAIN6(FlashHandle, tailDone, imageCursor, chunkBuffer, chunkLength, progressStep, progressLast);
CHAIN6(FlashHandle, progressLast, progressCurrent, signatureBuffer, versionBuffer, deviceName, versionA);
CHAIN6(FlashHandle, versionA, versionB, autoRange, followOn, appWord, linePreparePass);
BYTES(FlashHandle, name, 256);
COUNT(FlashHandle, ring, PRR_RING_SIZE);
BYTES(FlashHandle, chunkBuffer, 256);
BYTES(FlashHandle, signatureBuffer, 256);
BYTES(FlashHandle, versionBuffer, 8);
BYTES(FlashHandle, deviceName, 20);

FIRST(ResetRecord, frequency);
CHAIN6(ResetRecord, frequency, multiplier, portNumber, speedIndex, commandOptions, securityFlags);
CHAIN2(ResetRecord, securityFlags, powerCycleMode);

FIRST(AreaRecord, mode);
CHAIN5(AreaRecord, mode, first, last, showAddress, reserved);

FIRST(ProgressRecord, text);
CHAIN6(ProgressRecord, text, state, status, percent, percentTotal, idBytes);
CHAIN4(ProgressRecord, idBytes, deviceName, versionA, versionB);
BYTES(ProgressRecord, text, 256);
BYTES(ProgressRecord, idBytes, 3);
BYTES(ProgressRecord, deviceName, 20);
COUNT(ProgressRecord, versionA, 2);
COUNT(ProgressRecord, versionB, 2);

FIRST(LoadFileHandle, imageBuffer);
CHAIN6(LoadFileHandle, imageBuffer, fileBuffer, loadFilePath, auxPath, fileSize, readState);
CHAIN6(LoadFileHandle, readState, imageStart, imageEnd, imageLength, notifyWindow, notifyMessage);
CHAIN6(LoadFileHandle, notifyMessage, workerThread, workerThreadId, semaphore, ring, readIndex);
CHAIN5(LoadFileHandle, readIndex, writeIndex, imageChecksum, lowestAddress, highestAddress);
BYTES(LoadFileHandle, loadFilePath, 256);
BYTES(LoadFileHandle, auxPath, 256);
COUNT(LoadFileHandle, ring, PRR_RING_SIZE);

FIRST(LoadProgressRecord, text);
CHAIN6(LoadProgressRecord, text, state, status, percent, percentTotal, fileYear);
CHAIN6(LoadProgressRecord, fileYear, fileMonth, fileDay, fileHour, fileMinute, fileSecond);
BYTES(LoadProgressRecord, text, 256);

FIRST(DeviceParameters, fileVersion);
CHAIN6(DeviceParameters, fileVersion, deviceName, deviceCode, deviceSubName, flmdTable, blockCount);
CHAIN6(DeviceParameters, blockCount, blockTable, areaCount, areaTable, debugSetting, commandSetCount);
CHAIN6(DeviceParameters, commandSetCount, commandSets, typeSet1, typeSet2, typeSet3, typeSet4);
CHAIN6(DeviceParameters, typeSet4, typeSet5, typeSet6, typeSet7, typeSet8, typeSet9);
CHAIN6(DeviceParameters, typeSet9, typeSet10, typeSet11, typeSet12, optionSet1, optionSet2);
CHAIN6(DeviceParameters, optionSet2, optionText1, optionText2, voltageSet1, voltageSet2, voltageSet3);
CHAIN6(DeviceParameters, voltageSet3, voltageSet4, voltageSet5, voltageSet6, voltageSet7, voltageSet8);
/* rangeSet4 is declared before rangeSet3, and stays there. */
CHAIN6(DeviceParameters, voltageSet8, voltageSet9, voltageSet10, rangeSet1, rangeSet2, rangeSet4);
CHAIN6(DeviceParameters, rangeSet4, rangeSet3, rangeSet6, rangeSet7, rangeSet8, rangeSet9);
CHAIN6(DeviceParameters, rangeSet9, rangeSet5, sTableData, dTableData, deviceChecksum, parseFlags);
BYTES(DeviceParameters, fileVersion, 6);
BYTES(DeviceParameters, deviceName, 128);
BYTES(DeviceParameters, deviceSubName, 12);
COUNT(DeviceParameters, flmdTable, 16);
COUNT(DeviceParameters, commandSets, PRR_COMMAND_SETS);
COUNT(DeviceParameters, commandSets[0], PRR_COMMAND_SLOTS);
BYTES(DeviceParameters, optionText1, 126);
BYTES(DeviceParameters, optionText2, 128);
BYTES(DeviceParameters, sTableData, PRR_COMMAND_SETS * PRR_STABLE_BYTES);
BYTES(DeviceParameters, dTableData, PRR_COMMAND_SETS * PRR_DTABLE_BYTES);

FIRST(FlmdEntry, present);
CHAIN4(FlmdEntry, present, code, index, voltage);
FIRST(RangeEntry, number);
CHAIN4(RangeEntry, number, reserved, start, end);
BYTES(RangeEntry, reserved, 2);

FIRST(CommandSlot, commandCode);
CHAIN5(CommandSlot, commandCode, commandType, commandOption, reserved, payload);
BYTES(CommandSlot, reserved, 5);
_Static_assert(offsetof(CommandSlot, payload) == 8, "a slot's payload follows its 8-byte head");
BYTES(CommandSlot, payload, 40);
_Static_assert(sizeof(PRRPayloadNV12) == 40 && sizeof(PRRPayloadTIMES) == 40 && sizeof(PRRPayloadSEQ) == 40,
               "the largest payloads fill the slot");

FIRST(PRROutcome, sequenceNumber);
CHAIN6(PRROutcome, sequenceNumber, message, resetPhase, status, endState, connected);
CHAIN6(PRROutcome, connected, aborted, refused, blankChecked, notBlank, erased);
CHAIN6(PRROutcome, erased, programmed, verified, checksumCompared, checksumEqual, deviceChecksum);
CHAIN5(PRROutcome, deviceChecksum, fileChecksum, securitySet, signatureRead, retryCount);
CHAIN4(PRROutcome, retryCount, deviceId, deviceName, deviceVersion);
BYTES(PRROutcome, deviceId, 3);
BYTES(PRROutcome, deviceName, 11);
BYTES(PRROutcome, deviceVersion, 10);

/* Whole sizes on the one ABI we ship for: an inserted field or a changed
 * type shows here even where the order holds. */
#if defined(__x86_64__) && defined(__linux__)
#define SIZE(T, n) _Static_assert(sizeof(T) == (n), "sizeof(" #T ") is " #n)
SIZE(FlashHandle, 317312);
SIZE(ResetRecord, 24);
SIZE(AreaRecord, 20);
SIZE(ProgressRecord, 304);
SIZE(LoadFileHandle, 296616);
SIZE(LoadProgressRecord, 296);
SIZE(DeviceParameters, 12264);
SIZE(FlmdEntry, 8);
SIZE(RangeEntry, 12);
SIZE(CommandSlot, 48);
SIZE(PRROutcome, 104);
#endif

/* ---- Named constants ---------------------------------------------------- */

#define VALUE(name, n) _Static_assert((name) == (n), #name " is " #n)

VALUE(PRR_MSG_FIRST, 1124);
VALUE(PRR_MSG_QUIT, 1125);
VALUE(PRR_MSG_RESET, 1126);
VALUE(PRR_MSG_AUTOPROCEDURE, 1127);
VALUE(PRR_MSG_BLANK_CHECK, 1128);
VALUE(PRR_MSG_ERASE, 1129);
VALUE(PRR_MSG_PROGRAM, 1130);
VALUE(PRR_MSG_VERIFY, 1131);
VALUE(PRR_MSG_SECURITY, 1132);
VALUE(PRR_MSG_CHECKSUM, 1133);
VALUE(PRR_MSG_SIGNATURE, 1134);
VALUE(PRR_MSG_ABORT, 1135);
VALUE(PRR_MSG_LAST, 1139);
VALUE(PRR_MSG_LOADFILE_RECORD, 2024);
VALUE(PRR_MSG_FLASH_RECORD, 2025);

VALUE(PRR_OPT_BLANK_CHECK_FIRST, 0x01);
VALUE(PRR_OPT_VERIFY, 0x02);
VALUE(PRR_OPT_SECURITY, 0x04);
VALUE(PRR_OPT_CHECKSUM, 0x08);

VALUE(PRR_SECURITY_DISABLE_PROGRAM, 0x01);
VALUE(PRR_SECURITY_DISABLE_BLOCK_ERASE, 0x02);
VALUE(PRR_SECURITY_DISABLE_CHIP_ERASE, 0x04);
VALUE(PRR_SECURITY_ALL, PRR_SECURITY_DISABLE_PROGRAM | PRR_SECURITY_DISABLE_BLOCK_ERASE |
                            PRR_SECURITY_DISABLE_CHIP_ERASE);

VALUE(PRR_STATE_CONNECT, 0);
VALUE(PRR_STATE_BLANK_CHECK, 1);
VALUE(PRR_STATE_ERASE, 2);
VALUE(PRR_STATE_PROGRAM, 3);
VALUE(PRR_STATE_VERIFY, 4);
VALUE(PRR_STATE_CHECKSUM, 5);
VALUE(PRR_STATE_SECURITY, 6);
VALUE(PRR_STATE_SIGNATURE, 7);
VALUE(PRR_STATE_IDLE, 10);

VALUE(PRR_RESET_CONNECT, 0);
VALUE(PRR_RESET_PREPARE, 1);
VALUE(PRR_AREA_CHIP, 1);
VALUE(PRR_AREA_BLOCK, 2);
VALUE(PRR_AREA_AREA, 4);
VALUE(PRR_LOAD_STATE_BUFFERED, 1);
VALUE(PRR_LOAD_STATE_DONE, 5);
VALUE(PRR_LOAD_RUNNING, 0);
VALUE(PRR_LOAD_READY, 1);
VALUE(PRR_LOAD_FAILED, 2);
VALUE(PRR_STATUS_SEQUENCE_ERROR, 5);
VALUE(PRR_STATUS_COM_READ, 24);
VALUE(PRR_STATUS_COUNT, 25);
VALUE(PRR_RING_SIZE, 1000);
VALUE(PRR_IMAGE_SIZE, 0x200000);

/* ---- Calls -------------------------------------------------------------- */

static int failures = 0;
#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) {                                                \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                               \
        }                                                             \
    } while (0)

enum { IDLE_MESSAGE = 3100 };

/* A window that counts record notifications and idle notices apart. */
typedef struct Notices {
    PRRWindow window;
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    unsigned records;
    unsigned idle;
} Notices;

static void NoticePost(PRRWindow *self, uint32_t message) {
    Notices *n = (Notices *)self->context;
    pthread_mutex_lock(&n->mutex);
    if (message == IDLE_MESSAGE) {
        ++n->idle;
    } else {
        ++n->records;
    }
    pthread_cond_broadcast(&n->cond);
    pthread_mutex_unlock(&n->mutex);
}

static void NoticesInit(Notices *n) {
    pthread_condattr_t attr;
    memset(n, 0, sizeof *n);
    n->window.post = NoticePost;
    n->window.context = n;
    pthread_mutex_init(&n->mutex, NULL);
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&n->cond, &attr);
    pthread_condattr_destroy(&attr);
}

static void NoticesDestroy(Notices *n) {
    pthread_cond_destroy(&n->cond);
    pthread_mutex_destroy(&n->mutex);
}

/* 1 once `count` idle notices have arrived in all, 0 after `seconds`. */
static int WaitIdle(Notices *n, unsigned count, int seconds) {
    struct timespec deadline;
    int rc = 0;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += seconds;
    pthread_mutex_lock(&n->mutex);
    while (n->idle < count && rc != ETIMEDOUT) rc = pthread_cond_timedwait(&n->cond, &n->mutex, &deadline);
    rc = n->idle >= count;
    pthread_mutex_unlock(&n->mutex);
    return rc;
}

static unsigned Records(Notices *n) {
    unsigned r;
    pthread_mutex_lock(&n->mutex);
    r = n->records;
    pthread_mutex_unlock(&n->mutex);
    return r;
}

static void HandleCalls(void) {
    Notices notices;
    FlashHandle *h;
    ProgressRecord *rec;
    PRROutcome outcome;

    NoticesInit(&notices);
    h = PRRFlshOpen(&notices.window, PRR_MSG_FLASH_RECORD, "c");
    CHECK(h != NULL);
    if (h == NULL) {
        NoticesDestroy(&notices);
        return;
    }
    CHECK(h->port == PRR_INVALID_PORT);
    h->appWord = 42; /* the application's own word is never touched */
    CHECK(PRRFlshSetIdleMessage(h, IDLE_MESSAGE) == 0);

    /* A fresh handle has finished nothing. */
    memset(&outcome, 0xA5, sizeof outcome);
    CHECK(PRRFlshGetOutcome(h, &outcome) == 0);
    CHECK(outcome.sequenceNumber == 0);
    CHECK(outcome.aborted == 0 && outcome.connected == 0);
    CHECK(PRRFlshGetOutcome(h, NULL) == 1);
    CHECK(PRRFlshGetOutcome(NULL, &outcome) == 1);

    CHECK(PRRFlshCmdOpt(h, 0x0B) == 0);
    CHECK(h->commandOptions == 0x0B);

    /* An abort while idle is one finished command with one record. */
    CHECK(PRRFlshAbort(h, NULL) == 0);
    CHECK(WaitIdle(&notices, 1, 20));
    CHECK(Records(&notices) == 1);
    rec = PRRFlshGetProg(h);
    CHECK(rec != NULL);
    if (rec != NULL) {
        CHECK(strcmp(rec->text, "ABORT ok.") == 0);
        CHECK(rec->status == PRR_STATUS_OK);
    }
    memset(&outcome, 0, sizeof outcome);
    CHECK(PRRFlshGetOutcome(h, &outcome) == 0);
    CHECK(outcome.sequenceNumber == 1);
    CHECK(outcome.message == PRR_MSG_ABORT);
    CHECK(outcome.aborted == 1);
    CHECK(outcome.status == PRR_STATUS_OK);
    CHECK(outcome.endState == PRR_STATE_IDLE);
    CHECK(outcome.connected == 0 && outcome.erased == 0 && outcome.programmed == 0);

    CHECK(PRRFlshClosePort(h) == 0);
    CHECK(h->appWord == 42);
    PRRFlshClose(h);
    NoticesDestroy(&notices);
}

static void BadArguments(void) {
    static DeviceParameters noBlocks; /* zeroed: no block table */
    AreaRecord chip = {PRR_AREA_CHIP, 0, 0, 0, 0};
    char path[64];

    CHECK(PRRFlshGetProg(NULL) == NULL);
    CHECK(PRRFlshSetIdleMessage(NULL, IDLE_MESSAGE) == 1);

    /* COM numbers outside 1..255 name nothing; a path that does not fit is -1. */
    path[0] = 'x';
    CHECK(PRRComPortPath(0, path, (int32_t)sizeof path) == 0);
    CHECK(PRRComPortPath(-3, path, (int32_t)sizeof path) == 0);
    CHECK(PRRComPortPath(256, path, (int32_t)sizeof path) == 0);
    CHECK(path[0] == 'x');
    /* The test runs with an empty alias folder, so COM1 is the first native port. */
    CHECK(PRRComPortPath(1, path, (int32_t)sizeof path) == 10);
    CHECK(strcmp(path, "/dev/ttyS0") == 0);
    CHECK(PRRComPortPath(1, NULL, 0) == -1);
    CHECK(PRRComPortPath(1, path, 1) == -1);
    CHECK(PRRComPortPath(1, path, -5) == -1);

    CHECK(PRRStreamBytes(NULL, NULL, 0, NULL) == 0);
    CHECK(PRRStreamBytes(NULL, &chip, 0, NULL) == 0);
    CHECK(PRRStreamBytes(&noBlocks, NULL, 0, NULL) == 0);
    CHECK(PRRStreamBytes(&noBlocks, &chip, 0, NULL) == 0);
    CHECK(PRRStreamBytes(&noBlocks, &chip, 1, NULL) == 0);
}

int main(void) {
    CHECK(PRRGetVersion() == 273);
    HandleCalls();
    BadArguments();
    if (failures == 0) printf("c_api_test: passed\n");
    return failures == 0 ? 0 : 1;
}
