/*
 * quillctl.h - public interface of the Quillrom control library (libquillctl).
 *
 * The library programs the flash of a single-chip microcontroller through its
 * serial bootloader. Everything crosses this boundary as plain C records and
 * integer codes; no C++ exception ever leaves the library.
 *
 * Error contract
 * --------------
 *  - Command functions (PRRFlshReset ... PRRFlshAbort, PRRFlshCmdOpt) return 0
 *    when the request was accepted and 1 when the handle (or a record the
 *    command needs) is null. They never block on the device: the outcome of a
 *    device operation arrives later as ProgressRecords whose `status` is one of
 *    the PRR_STATUS_* codes below (0 = success or progress).
 *  - Functions returning a pointer return NULL on failure.
 *  - Closing functions accept NULL and then do nothing.
 *  - Every handle owns one worker thread. Workers call PRRWindow.post on their
 *    own thread once per new record, in the order the records were written;
 *    the callback must not block and must not call back into the library
 *    other than to fetch records. A NULL window (or a NULL post callback)
 *    means "no notifications".
 *  - The caller fetches exactly one record per notification (PRRFlshGetProg,
 *    PRRHexGetProg). A returned record stays unchanged until the worker has
 *    written 1000 further records.
 *  - Records passed to a command (DeviceParameters, the LoadFileHandle) must
 *    stay alive until the command's final record has arrived: the handle keeps
 *    pointers into them.
 */
#ifndef QUILLCTL_H
#define QUILLCTL_H

#include <stddef.h>
#include <stdint.h>

/* On Windows the exports leave the DLL while it is built and come into
 * callers from it otherwise; a program linked with the static archive
 * (QUILLCTL_STATIC) needs neither. */
#if defined(_WIN32)
#if defined(QUILLCTL_STATIC)
#define QUILLCTL_API
#elif defined(QUILLCTL_BUILDING)
#define QUILLCTL_API __declspec(dllexport)
#else
#define QUILLCTL_API __declspec(dllimport)
#endif
#else
#define QUILLCTL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Library version returned by PRRGetVersion. */
#define PRR_VERSION 273

/* Message numbers passed to PRRWindow.post (the caller may choose others). */
#define PRR_MSG_LOADFILE_RECORD 2024u
#define PRR_MSG_FLASH_RECORD 2025u

/* Command messages posted to a flash worker (the worker takes 1124..1139). */
#define PRR_MSG_FIRST 1124u
#define PRR_MSG_QUIT 1125u
#define PRR_MSG_RESET 1126u
#define PRR_MSG_AUTOPROCEDURE 1127u
#define PRR_MSG_BLANK_CHECK 1128u
#define PRR_MSG_ERASE 1129u
#define PRR_MSG_PROGRAM 1130u
#define PRR_MSG_VERIFY 1131u
#define PRR_MSG_SECURITY 1132u
#define PRR_MSG_CHECKSUM 1133u
#define PRR_MSG_SIGNATURE 1134u
#define PRR_MSG_ABORT 1135u
#define PRR_MSG_LAST 1139u

/* Command-option bits: ResetRecord.commandOptions and PRRFlshCmdOpt. */
#define PRR_OPT_BLANK_CHECK_FIRST 0x01u /* blank check before erase; erase only when needed */
#define PRR_OPT_VERIFY 0x02u            /* verify after program */
#define PRR_OPT_SECURITY 0x04u          /* write the security flags after program */
#define PRR_OPT_CHECKSUM 0x08u          /* compare checksums after program */

/* Security-flag bits: ResetRecord.securityFlags. */
#define PRR_SECURITY_DISABLE_PROGRAM 0x01u
#define PRR_SECURITY_DISABLE_BLOCK_ERASE 0x02u
#define PRR_SECURITY_DISABLE_CHIP_ERASE 0x04u
#define PRR_SECURITY_ALL 0x07u

/* ResetRecord.powerCycleMode */
#define PRR_POWER_PROMPT_OFF 0
#define PRR_POWER_PROMPT_ON 1

/* FlashHandle.linePreparePass around a reset request */
#define PRR_RESET_CONNECT 0 /* second request: line pulses and handshake */
#define PRR_RESET_PREPARE 1 /* first request: open and configure the port */

/* Value of FlashHandle.port while no COM port is open. */
#define PRR_INVALID_PORT (-1)

/* Worker states (ProgressRecord.state, FlashHandle.state). */
#define PRR_STATE_CONNECT 0
#define PRR_STATE_BLANK_CHECK 1
#define PRR_STATE_ERASE 2
#define PRR_STATE_PROGRAM 3
#define PRR_STATE_VERIFY 4
#define PRR_STATE_CHECKSUM 5
#define PRR_STATE_SECURITY 6
#define PRR_STATE_SIGNATURE 7
#define PRR_STATE_IDLE 10

/* Status codes carried by ProgressRecord.status; PRRStatusText gives the text. */
#define PRR_STATUS_OK 0
#define PRR_STATUS_NOT_INITIALIZED 1
#define PRR_STATUS_ILLEGAL_FILE_TYPE 2
#define PRR_STATUS_ILLEGAL_PARAMETER 3
#define PRR_STATUS_ILLEGAL_PRM_FILE 4
#define PRR_STATUS_SEQUENCE_ERROR 5
#define PRR_STATUS_CANNOT_ABORT 6
#define PRR_STATUS_FLASH_TIMEOUT 7
#define PRR_STATUS_COM_WRITE 8
#define PRR_STATUS_COM_OPEN 9
#define PRR_STATUS_COM_SETTING 10
#define PRR_STATUS_WAIT_STATUS_TIMEOUT 11
#define PRR_STATUS_RETRY_OVER 12
#define PRR_STATUS_ILLEGAL_STATUS 13
#define PRR_STATUS_NOT_CONNECTED 14
#define PRR_STATUS_NOT_SUPPORTED 15
#define PRR_STATUS_DATA_SEQUENCE 16
#define PRR_STATUS_ADDRESS_MISMATCH 17
#define PRR_STATUS_FLASH_WRITE 18
#define PRR_STATUS_INTERNAL_VERIFY 19
#define PRR_STATUS_VERIFY 20
#define PRR_STATUS_INVALID_SIGNATURE 21
#define PRR_STATUS_INVALID_VERSION 22
#define PRR_STATUS_READ_TIMEOUT 23
#define PRR_STATUS_COM_READ 24
#define PRR_STATUS_COUNT 25

#define PRR_RING_SIZE 1000
#define PRR_IMAGE_SIZE 2097152u /* bytes of the load image: device addresses 0 .. 0x1FFFFF */

/* Notification target: stands in for a window that receives posted messages. */
typedef struct PRRWindow PRRWindow;
struct PRRWindow {
    void (*post)(PRRWindow *self, uint32_t message); /* called on worker threads; must not block */
    void *context;
};

/* ------------------------------------------------------------------------ */
/* Device parameter record (filled by PRRReadPRM)                           */
/* ------------------------------------------------------------------------ */

typedef struct FlmdEntry {
    uint16_t present; /* 1 when the entry was given */
    uint8_t code;
    uint8_t index;
    float voltage;
} FlmdEntry;

typedef struct RangeEntry {
    uint16_t number;
    uint8_t reserved[2];
    uint32_t start;
    uint32_t end; /* inclusive */
} RangeEntry;

/* Payload layouts of a command slot; words[] and longs are numbered from 1 in
 * the parameter file, so "word 4" is words[3]. */
typedef struct { uint16_t words[2]; } PRRPayloadW2;
typedef struct { uint16_t words[3]; } PRRPayloadW3;
typedef struct { uint16_t words[9]; } PRRPayloadW9;
typedef struct { uint16_t words[12]; } PRRPayloadW12;
typedef struct { uint32_t long1; uint16_t words[4]; } PRRPayloadL4;
typedef struct { uint32_t long1; uint16_t words[6]; } PRRPayloadL6;
typedef struct { uint32_t long1; uint16_t words[10]; } PRRPayloadL10;
typedef struct { uint32_t long1; uint16_t words[12]; } PRRPayloadL12;
typedef struct { uint32_t long1; uint32_t long2; uint16_t words[2]; } PRRPayloadLL2;
typedef struct { uint32_t long1; uint32_t long2; uint16_t words[9]; } PRRPayloadLL9;
typedef struct { uint16_t word1; uint16_t word2; uint32_t long1; uint16_t words[4]; } PRRPayloadWWL4;
typedef struct { int32_t number; double value; uint16_t words[12]; } PRRPayloadNV12;
typedef struct { double voltage; uint16_t word; } PRRPayloadVOLT;
typedef struct { double micro; uint16_t word; } PRRPayloadMICRO;
typedef struct {
    double time1;  /* time code x 0.001 */
    double time2;  /* time code x 0.001 */
    double value3; /* decimal hundredths */
    double time4;  /* time code x 0.000001 */
    uint16_t word5;
    uint16_t byte6; /* hex byte stored as a word */
    uint16_t word7; /* erase retry limit */
} PRRPayloadTIMES;
typedef struct {
    uint8_t b1, b2, b3, b4;
    uint32_t combined;
    uint8_t text[32]; /* NUL-terminated, bytes ANDed with 0x7F */
} PRRPayloadSEQ;

typedef union PRRCommandPayload {
    uint8_t bytes[40];
    PRRPayloadW2 w2;
    PRRPayloadW3 w3;
    PRRPayloadW9 w9;
    PRRPayloadW12 w12;
    PRRPayloadL4 l4;
    PRRPayloadL6 l6;
    PRRPayloadL10 l10;
    PRRPayloadL12 l12;
    PRRPayloadLL2 ll2;
    PRRPayloadLL9 ll9;
    PRRPayloadWWL4 wwl4;
    PRRPayloadNV12 nv12;
    PRRPayloadVOLT volt;
    PRRPayloadMICRO micro;
    PRRPayloadTIMES times;
    PRRPayloadSEQ seq;
} PRRCommandPayload;

typedef struct CommandSlot {
    uint8_t commandCode;
    uint8_t commandType;
    uint8_t commandOption; /* 0xFF when absent */
    uint8_t reserved[5];
    PRRCommandPayload payload;
} CommandSlot;

#define PRR_COMMAND_SETS 8
#define PRR_COMMAND_SLOTS 20
#define PRR_STABLE_BYTES 120
#define PRR_DTABLE_BYTES 360

/* parseFlags bits */
#define PRR_PARSE_CODE_ABOVE_0412 0x1u /* FNAME code above 0x0412 */
#define PRR_PARSE_ADDRESS_FORM 0x2u    /* frames carry addresses, not unit numbers */
#define PRR_PARSE_NAME_MASKED 0x4u     /* signature name shown masked */

typedef struct DeviceParameters {
    char fileVersion[6];
    char deviceName[128];
    uint16_t deviceCode;
    char deviceSubName[12];
    FlmdEntry flmdTable[16];
    int32_t blockCount;
    RangeEntry *blockTable;
    int32_t areaCount;
    RangeEntry *areaTable;
    uint8_t debugSetting;
    int32_t commandSetCount;
    CommandSlot commandSets[PRR_COMMAND_SETS][PRR_COMMAND_SLOTS];
    uint8_t typeSet1;
    float typeSet2;   /* default oscillator multiply rate */
    double typeSet3;
    uint8_t typeSet4;
    uint8_t typeSet5;
    double typeSet6;
    double typeSet7;  /* default oscillator frequency, MHz */
    uint32_t typeSet8;
    uint32_t typeSet9;
    uint8_t typeSet10;
    uint8_t typeSet11;
    uint8_t typeSet12;
    uint8_t optionSet1;
    uint8_t optionSet2;
    char optionText1[126];
    char optionText2[128];
    double voltageSet1;
    double voltageSet2;
    uint16_t voltageSet3;
    uint16_t voltageSet4;
    uint16_t voltageSet5;
    uint16_t voltageSet6;
    uint16_t voltageSet7;
    uint16_t voltageSet8;
    uint16_t voltageSet9;
    double voltageSet10;
    double rangeSet1;
    double rangeSet2;
    double rangeSet4; /* declared before rangeSet3 */
    double rangeSet3;
    double rangeSet6;
    double rangeSet7;
    double rangeSet8;
    double rangeSet9;
    uint8_t rangeSet5;
    uint8_t sTableData[PRR_COMMAND_SETS][PRR_STABLE_BYTES];
    uint8_t dTableData[PRR_COMMAND_SETS][PRR_DTABLE_BYTES];
    uint32_t deviceChecksum;
    uint32_t parseFlags;
} DeviceParameters;

/* ------------------------------------------------------------------------ */
/* Load file handle (PRRHexOpen)                                            */
/* ------------------------------------------------------------------------ */

typedef struct LoadProgressRecord {
    char text[256];
    int32_t state;        /* worker step that wrote it, 1 to 5 */
    int32_t status;
    int32_t percent;
    int32_t percentTotal; /* 100, or 0 in the failure record */
    int32_t fileYear;
    int32_t fileMonth;
    int32_t fileDay;
    int32_t fileHour;
    int32_t fileMinute;
    int32_t fileSecond;
} LoadProgressRecord;

/* LoadProgressRecord.state: the load worker step that wrote the record. */
#define PRR_LOAD_STATE_BUFFERED 1  /* "buffering...OK" */
#define PRR_LOAD_STATE_SCANNED 2   /* "address scan..." */
#define PRR_LOAD_STATE_TEMPORARY 3 /* "make temporary..." */
#define PRR_LOAD_STATE_BINARY 4    /* "make binary..." */
#define PRR_LOAD_STATE_DONE 5      /* the success or failure record; the last one */

/* readState values */
#define PRR_LOAD_RUNNING 0
#define PRR_LOAD_READY 1
#define PRR_LOAD_FAILED 2

typedef struct LoadFileHandle {
    uint8_t *imageBuffer; /* PRR_IMAGE_SIZE bytes, indexed by device address */
    uint8_t *fileBuffer;
    char loadFilePath[256];
    char auxPath[256];
    uint32_t fileSize;
    int32_t readState;    /* PRR_LOAD_*; read it only after the final record */
    uint32_t imageStart;
    uint32_t imageEnd;
    uint32_t imageLength;
    PRRWindow *notifyWindow;
    uint32_t notifyMessage;
    void *workerThread;   /* opaque worker object; NULL when none */
    uint32_t workerThreadId;
    void *semaphore;      /* opaque process-wide lock shared by all load-file handles */
    LoadProgressRecord ring[PRR_RING_SIZE];
    int32_t readIndex;
    int32_t writeIndex;
    uint16_t imageChecksum;
    uint32_t lowestAddress;
    uint32_t highestAddress;
} LoadFileHandle;

/* ------------------------------------------------------------------------ */
/* Flash handle (PRRFlshOpen)                                               */
/* ------------------------------------------------------------------------ */

typedef struct ProgressRecord {
    char text[256];
    int32_t state;
    int32_t status;
    uint32_t percent;     /* 0 to 100 */
    int32_t percentTotal; /* 100; 0 only in the refused-command notice */
    uint8_t idBytes[3];   /* final connect record only */
    char deviceName[20];  /* final connect record only */
    uint16_t versionA[2]; /* final connect record only; two copies */
    uint16_t versionB[2]; /* final connect record only; two copies */
} ProgressRecord;

typedef struct ResetRecord {
    double frequency;       /* oscillator, MHz */
    double multiplier;      /* oscillator multiply rate */
    uint8_t portNumber;     /* COM number, 1-based */
    uint8_t speedIndex;
    uint8_t commandOptions; /* 1 blank check before erase, 2 verify, 4 security, 8 checksum */
    uint8_t securityFlags;  /* 1 disable program, 2 disable block erase, 4 disable chip erase */
    int32_t powerCycleMode;
} ResetRecord;

/* AreaRecord.mode */
#define PRR_AREA_CHIP 1
#define PRR_AREA_BLOCK 2
#define PRR_AREA_AREA 4

typedef struct AreaRecord {
    int32_t mode;  /* only the low byte is read */
    int32_t first; /* low byte used */
    int32_t last;  /* low byte used */
    int32_t showAddress;
    int32_t reserved;
} AreaRecord;

typedef struct FlashHandle {
    char name[256];
    PRRWindow *notifyWindow;
    uint32_t notifyMessage;
    LoadFileHandle *loadFile;
    void *workerThread; /* opaque worker object */
    uint32_t workerThreadId;
    void *event;        /* opaque; nothing waits on it */
    void *semaphore;    /* opaque process-wide lock shared by all flash handles */
    ProgressRecord ring[PRR_RING_SIZE];
    int32_t readIndex;
    int32_t writeIndex;
    int32_t state;
    int32_t step;
    uint32_t stepTick;
    int32_t abortRequested;
    ResetRecord reset;
    AreaRecord area;
    DeviceParameters device;
    uint8_t commandOptions;
    uint8_t securityByte;
    int32_t securityArg1;
    int32_t securityArg2;
    int32_t port;       /* open COM port descriptor, or PRR_INVALID_PORT */
    int32_t commandSet;
    uint32_t readTimeoutMs; /* constant part of the port's read time-out */
    /* sequence working fields */
    uint8_t firstBlock;
    uint8_t lastBlock;
    uint8_t currentBlock;
    int32_t retryCount;
    int32_t epvRunning;
    int32_t eraseAfterBlank;
    uint32_t rangeStart;
    uint32_t rangeEnd;
    uint32_t totalBytes;
    uint32_t bytesSent;
    uint32_t leadPad;
    uint32_t leadDone;
    uint32_t imageBytes;
    uint32_t imageDone;
    uint32_t tailPad;
    uint32_t tailDone;
    const uint8_t *imageCursor;
    /* programming chunk and progress counters, one set per handle */
    uint8_t chunkBuffer[256];
    uint32_t chunkLength;
    int32_t progressStep;
    int32_t progressLast;
    int32_t progressCurrent;
    uint8_t signatureBuffer[256];
    uint8_t versionBuffer[8];
    char deviceName[20];
    uint16_t versionA;
    uint16_t versionB;
    int32_t autoRange;
    int32_t followOn;
    int32_t appWord;         /* owned by the application; never touched by the library */
    int32_t linePreparePass; /* written by the application around the first reset of a connect */
} FlashHandle;

/* ------------------------------------------------------------------------ */
/* Exports                                                                   */
/* ------------------------------------------------------------------------ */

/* Library version: 273. */
QUILLCTL_API int32_t PRRGetVersion(void);
/* The release this library belongs to, as the programs print it ("1.20");
 * a static string. */
QUILLCTL_API const char *PRRGetVersionText(void);

/* Text of a status code ("No ERROR.", "ERROR: ..."); "" for codes outside 0..24. */
QUILLCTL_API const char *PRRStatusText(int32_t status);

/* Load file: reads an Intel HEX or S-record file into a 2 MiB image on a worker
 * thread; records are announced with `message` to `window` (NULL: none).
 * Returns NULL when the file is missing, unreadable, or does not start with
 * ':' or 'S'. */
QUILLCTL_API LoadFileHandle *PRRHexOpen(const char *path, PRRWindow *window, uint32_t message, const char *aux);
/* Next record of the load ring; call once per notification. NULL for a null handle. */
QUILLCTL_API LoadProgressRecord *PRRHexGetProg(LoadFileHandle *handle);
/* Stops the worker (within about 3 s), frees the image and the handle. A
 * pointer that is not an open handle (closed already, never opened) is ignored. */
QUILLCTL_API void PRRHexClose(LoadFileHandle *handle);
/* Writes count bytes at address into a ready image (a serial number, say),
 * as if the load file had held them: the extent grows to cover them and the
 * image checksum is computed anew, so a following program, verify and
 * checksum all use the patched image. Returns 0; 1 for a null or closed
 * handle, an image not ready, or bytes outside 0..PRR_IMAGE_SIZE-1. Call it
 * while no command reads the image. */
QUILLCTL_API int32_t PRRHexPatch(LoadFileHandle *handle, uint32_t address, const uint8_t *bytes, uint32_t count);

/* Several load sources merged into one image, on the same worker and with
 * the same records as PRRHexOpen; close it with PRRHexClose. A source is an
 * Intel HEX, S-record or ELF file (told by its content; ELF: each PT_LOAD
 * segment's file bytes at its physical address, or without program headers
 * each allocated PROGBITS section) or, with isBinary, a raw binary whose first
 * byte goes to `address`. Two sources that write one address fail the load;
 * the addresses between the lowest and the highest that no source writes take
 * `fill` (0..255; -1 for the erased value 0xFF). The extent and checksum are
 * the merged image's. NULL only for bad arguments (no sources, a null or too
 * long path, more than 255 sources, a fill outside -1..255) or no memory; a
 * missing or malformed file is a failed load with its reason in PRRLoadError. */
typedef struct PRRLoadSource {
    const char *path;
    int32_t isBinary;
    uint32_t address; /* isBinary only */
} PRRLoadSource;
QUILLCTL_API LoadFileHandle *PRRLoadOpen(const PRRLoadSource *sources, int32_t count, int32_t fill, PRRWindow *window,
                                         uint32_t message);
/* Why the load failed ("FILE: malformed record at line 12", "A and B both write
 * 0x7C00", ...), once its final record is out: writes it NUL-terminated (cut
 * to fit) and returns its full length; 0 when it did not fail or is not done,
 * -1 for a handle that is not open. */
QUILLCTL_API int32_t PRRLoadError(const LoadFileHandle *handle, char *text, int32_t capacity);
/* PRRLoadSource kinds as found (PRRLoadRange.kind) */
#define PRR_SOURCE_INTEL_HEX 1
#define PRR_SOURCE_SRECORD 2
#define PRR_SOURCE_ELF 3
#define PRR_SOURCE_BINARY 4
/* One run of addresses a source wrote into the image. */
typedef struct PRRLoadRange {
    int32_t source; /* index in the PRRLoadOpen list */
    int32_t kind;   /* PRR_SOURCE_* */
    uint32_t first;
    uint32_t last;
} PRRLoadRange;
/* The ranges of a ready image opened with PRRLoadOpen, by source and then by
 * address: writes up to `capacity` and returns how many there are in all;
 * -1 when the handle is not open, not ready, or came from PRRHexOpen. */
QUILLCTL_API int32_t PRRLoadRanges(const LoadFileHandle *handle, PRRLoadRange *out, int32_t capacity);

/* Parameter file: returns a new record or NULL. The reserved argument is unused. */
QUILLCTL_API DeviceParameters *PRRReadPRM(const char *path, intptr_t reserved);
QUILLCTL_API void PRRFreePRM(DeviceParameters *record);
/* 1 when the file's checksum equals the value the last PRRReadPRM found, else 0. */
QUILLCTL_API int32_t PRRChecksumPRM(const char *path, intptr_t reserved);
/* For tools that show or rewrite the checksum: the file's computed checksum and
 * the value the last PRRReadPRM found. Returns 0, or 1 when the file cannot be
 * read. Either pointer may be NULL. */
QUILLCTL_API int32_t PRRChecksumValuesPRM(const char *path, uint32_t *computed, uint32_t *expected);

/* Flash handle: NULL when the worker cannot be started. `name` may be NULL. */
QUILLCTL_API FlashHandle *PRRFlshOpen(PRRWindow *window, uint32_t message, const char *name);
/* Stops the worker (within about 3 s from any state), closes the COM port, frees
 * the handle. A pointer that is not an open handle (closed already, never
 * opened) is ignored. */
QUILLCTL_API void PRRFlshClose(FlashHandle *handle);
/* Closes the handle's COM port, if open, and marks it invalid. Call it only while
 * no command runs (after a final record). Returns 1 for a null handle. */
QUILLCTL_API int32_t PRRFlshClosePort(FlashHandle *handle);

/* Asks the worker to post `message` to the handle's window each time it has
 * finished a command and is idle again, after the command's last record (0,
 * the default, posts nothing extra). A command's end is otherwise only
 * guessed from its records, since hand-overs write several 100 % records.
 * Such a notification carries no record: do not fetch one for it. */
QUILLCTL_API int32_t PRRFlshSetIdleMessage(FlashHandle *handle, uint32_t message);

/* What the last finished command came to: the facts the log texts carry, so
 * that callers decide nothing by matching texts. A command has finished when
 * the worker is idle again (the idle notice of PRRFlshSetIdleMessage). */
typedef struct PRROutcome {
    uint64_t sequenceNumber;  /* commands finished on this handle so far; 0: none yet */
    uint32_t message;         /* PRR_MSG_* the command was posted as */
    int32_t resetPhase;       /* PRR_RESET_* of a reset request */
    int32_t status;           /* PRR_STATUS_OK, or the code of the failure record */
    int32_t endState;         /* PRR_STATE_* of the sequence that ended the command; PRR_STATE_IDLE when none ran */
    int32_t connected;        /* 1: a connect reached its final record */
    int32_t aborted;          /* 1: ended by an abort ("Sequence Aborted." or "ABORT ok.") */
    int32_t refused;          /* commands refused with status 5 while this one ran */
    int32_t blankChecked;     /* 1: a blank check ran to its verdict */
    int32_t notBlank;         /* 1: that verdict was "not blank" */
    int32_t erased;           /* 1: an erase finished */
    int32_t programmed;       /* 1: programming finished with its internal verify */
    int32_t verified;         /* 1: a verify finished without a mismatch */
    int32_t checksumCompared; /* 1: device and file checksums were compared */
    int32_t checksumEqual;    /* 1: and they were equal */
    uint16_t deviceChecksum;  /* the device's sum, when compared */
    uint16_t fileChecksum;    /* the file's sum over the same range, when compared */
    int32_t securitySet;      /* 1: the security flags were written and verified */
    int32_t signatureRead;    /* 1: a signature read finished */
    int32_t retryCount;       /* refusals counted by the sequence that ended the command */
    /* What a signature read showed, as far as it got (all of it once signatureRead is 1); zero without one. */
    uint8_t deviceId[3];      /* the three bytes of its "ID:" line */
    char deviceName[11];      /* the name of its "NAME:" line, masked where the parameter file masks it; NUL-terminated */
    char deviceVersion[10];   /* the firmware version of its "F/W    Ver.:" line ("1.23"); NUL-terminated */
} PRROutcome;

/* Copies the outcome of the last finished command into *out. Returns 0, or 1
 * for a null handle or pointer. Safe on any thread, at any time. */
QUILLCTL_API int32_t PRRFlshGetOutcome(FlashHandle *handle, PRROutcome *out);

/* The handle's port as the last open left it, and how fast data bytes go.
 * Programming waits for an acknowledge after every data byte, so a USB
 * adapter's latency timer (16 ms by default on FTDI) costs up to that much per
 * byte; opening a serial device asks its driver for low latency and lowers a
 * latency timer it may write, and closing puts both back. A pseudo-terminal
 * refuses both, which is no error. */
typedef struct PRRLinkInfo {
    int32_t portOpen;          /* 1 while a port is open */
    int32_t lowLatency;        /* 1 low latency on; 0 refused (pseudo-terminal, driver without it); -1 no port opened yet */
    int32_t latencyTimerMs;    /* the adapter's latency timer while open; -1 when it has none */
    int32_t latencyTimerWasMs; /* the timer before the open lowered it; -1 when it has none */
    uint32_t measuredBytes;    /* data bytes timed after the first page of the running or last Program */
    double microsPerDataByte;  /* their average time per byte, page commands included; 0 until the second page is done */
    double wireMicrosPerDataByte; /* the wire's own time per data byte at the device speed (3 characters) */
} PRRLinkInfo;
/* Copies it into *out: 0, or 1 for a null handle or pointer. Any thread. */
QUILLCTL_API int32_t PRRFlshGetLinkInfo(FlashHandle *handle, PRRLinkInfo *out);

/* Sends a reset request (linePreparePass chooses the phase, see
 * PRR_RESET_PREPARE). Copies *reset and *device. 0 posted, 1 null argument. */
QUILLCTL_API int32_t PRRFlshReset(FlashHandle *handle, const ResetRecord *reset, DeviceParameters *device);
/* Replaces the command options (PRR_OPT_* bits, low byte) until the next reset.
 * 0, or 1 for a null handle or while a command runs or waits to run (then
 * nothing changes: set options once the last command has ended, see
 * PRRFlshSetIdleMessage). */
QUILLCTL_API int32_t PRRFlshCmdOpt(FlashHandle *handle, int32_t options);
/* Device commands. Each copies *device (writing the handle's parse flags back
 * into it first) and *area, keeps loadFile, and posts its message; the
 * outcome arrives as records and in PRRFlshGetOutcome. 0 posted, 1 when the
 * handle or a record the command needs is null. While another command runs,
 * the worker refuses the new one with a status-5 record, and the running
 * command keeps the arguments it was given. A command issued after another
 * one's final record, before the worker is idle, waits with its own
 * arguments and runs next.
 * EPV: autoprocedure (blank check or erase, program, then the follow-ons the
 * options ask for); Blnk: blank check; Erase: erase (with
 * PRR_OPT_BLANK_CHECK_FIRST only when not blank); Prog: program, then the
 * follow-ons; Verify: compare with the image; Checksum: compare the device's
 * sum with the image's; Security: write the flags of the last reset (arg1 and
 * arg2 are kept, unused); Sigread: read the signature and firmware version.
 * autoRange 1: the range follows the image instead of the area record. */
QUILLCTL_API int32_t PRRFlshEPV(FlashHandle *handle, DeviceParameters *device, const AreaRecord *area, LoadFileHandle *loadFile, int32_t autoRange);
QUILLCTL_API int32_t PRRFlshBlnk(FlashHandle *handle, DeviceParameters *device, const AreaRecord *area, int32_t autoRange);
QUILLCTL_API int32_t PRRFlshErase(FlashHandle *handle, DeviceParameters *device, const AreaRecord *area, int32_t autoRange);
QUILLCTL_API int32_t PRRFlshProg(FlashHandle *handle, DeviceParameters *device, const AreaRecord *area, LoadFileHandle *loadFile, int32_t autoRange);
QUILLCTL_API int32_t PRRFlshVerify(FlashHandle *handle, DeviceParameters *device, const AreaRecord *area, LoadFileHandle *loadFile, int32_t autoRange);
QUILLCTL_API int32_t PRRFlshSecurity(FlashHandle *handle, DeviceParameters *device, int32_t arg1, int32_t arg2);
QUILLCTL_API int32_t PRRFlshChecksum(FlashHandle *handle, DeviceParameters *device, const AreaRecord *area, LoadFileHandle *loadFile);
QUILLCTL_API int32_t PRRFlshSigread(FlashHandle *handle, DeviceParameters *device);
/* Ends the running command with "Sequence Aborted." (or "ABORT ok." when
 * idle): at its next step, or at once when it waits on the device's own work
 * (erase, blank check, checksum, signature) or repeats a refused handshake.
 * `device` may be NULL; it is copied only while nothing runs. 0, or 1 for a
 * null handle. */
QUILLCTL_API int32_t PRRFlshAbort(FlashHandle *handle, DeviceParameters *device);
/* Next record of the ring; call once per notification. NULL for a null handle. */
QUILLCTL_API ProgressRecord *PRRFlshGetProg(FlashHandle *handle);

/* Serial ports present, for port choosers: aliases (COM<n> entries of the
 * alias folder) first, then system devices. Without `allPorts` only native
 * ports with a UART, USB serial adapters and aliases are listed. Writes at
 * most `capacity` entries and returns how many there are in all. */
typedef struct PRRPortInfo {
    int32_t number;       /* n of COMn, 1..255 */
    char name[20];        /* "COMn" */
    char path[256];       /* device path */
    char description[128];/* USB vendor and model; "alias", or "alias: " and the adapter's description */
    int32_t isAlias;
} PRRPortInfo;
QUILLCTL_API int32_t PRRPortList(PRRPortInfo *out, int32_t capacity, int32_t allPorts);

/* The device behind a serial port as sysfs describes it ($QUILLROM_SYSFS_ROOT,
 * else /sys). */
typedef struct PRRAdapterInfo {
    char tty[32];             /* "ttyUSB0" */
    char driver[32];          /* "ftdi_sio", "cp210x", "ch341-uart", "pl2303", "cdc_acm", "serial8250", ... */
    int32_t isUsb;            /* 1 for a USB adapter: the fields below it are set */
    uint16_t vendorId;
    uint16_t productId;
    char manufacturer[64];
    char product[64];
    char serial[64];          /* the adapter's serial number, "" when it has none */
    int32_t latencyTimerMs;   /* -1 when the driver has no latency timer */
    int32_t latencyWritable;  /* 1 when this user may change it */
    char latencyPath[256];    /* its sysfs attribute */
    char stablePath[256];     /* the adapter's name in /dev/serial/by-id ($QUILLROM_SERIAL_BY_ID_DIR), "" when none */
} PRRAdapterInfo;
/* The adapter behind the device at `path` (symlinks followed): 1 filled in,
 * 0 when sysfs has no device behind it (a pseudo-terminal, say) or an
 * argument is null. */
QUILLCTL_API int32_t PRRPortAdapter(const char *path, PRRAdapterInfo *out);
/* The USB serial adapters present, by tty name: fills up to `capacity` and
 * returns how many there are. */
QUILLCTL_API int32_t PRRAdapterList(PRRAdapterInfo *out, int32_t capacity);

/* Device path that "COM<number>" names (an alias first, then the fixed
 * blocks: ttyS from COM1, ttyUSB from COM33, ttyACM from COM65, other
 * serial drivers from COM97). Writes it NUL-terminated into path[capacity]
 * and returns its length; 0 when the number names nothing, -1 when it does
 * not fit. */
QUILLCTL_API int32_t PRRComPortPath(int32_t number, char *path, int32_t capacity);

/* A port served inside this process: while COM<number> is served, a
 * connect to that number talks to `device` instead of a serial device (a
 * virtual target in the same program, a test stand's model of a device).
 * The line carries 8E1 as a real one does and has RTS and DTR. One host at a
 * time may have it open. The callbacks run on the thread that wrote or set
 * the line (a handle's worker); keep them short and do not call back into
 * the library from them. */
typedef struct PRRServedDevice {
    void *context;
    /* The host wrote these bytes. */
    void (*received)(void *context, const uint8_t *bytes, uint32_t count);
    /* The host set the line: baud rate (0 when the host closed the port), RTS and DTR (1 on). */
    void (*lineChanged)(void *context, uint32_t baud, int32_t rts, int32_t dtr);
} PRRServedDevice;
/* 0; PRR_STATUS_COM_OPEN when number is outside 1..255, is served already,
 * or `device` has no received callback. */
QUILLCTL_API int32_t PRRServePort(int32_t number, const PRRServedDevice *device);
/* Queues bytes for the host to read, as if they had arrived on the line: 0,
 * or PRR_STATUS_COM_WRITE when the port is not served. */
QUILLCTL_API int32_t PRRServedPortSend(int32_t number, const uint8_t *bytes, uint32_t count);
/* Bytes sent that the host has not read yet; -1 when the port is not served. */
QUILLCTL_API int32_t PRRServedPortPending(int32_t number);
/* Stops serving: a host that has the port open reads what was sent, then a
 * read error, and its writes fail (as when an adapter is pulled out). When it
 * returns no callback is running or will run. 0, or PRR_STATUS_COM_OPEN when
 * the port was not served. */
QUILLCTL_API int32_t PRRStopServingPort(int32_t number);

/* The alias folder that COM<n> aliases live in ($QUILLROM_PORTS_DIR, else
 * $XDG_CONFIG_HOME/quillrom2/ports, else ~/.config/quillrom2/ports), written as
 * PRRComPortPath writes; 0 when none can be told. */
QUILLCTL_API int32_t PRRAliasDir(char *path, int32_t capacity);

/* Bytes a program or verify with these arguments would stream to the device
 * (the range the blocks or, with autoRange, the image cover); 0 when it
 * cannot be told (no blocks, no ready image, an image outside every block). */
QUILLCTL_API uint32_t PRRStreamBytes(const DeviceParameters *device, const AreaRecord *area, int32_t autoRange,
                                     const LoadFileHandle *loadFile);
/* Copies the bytes such a program or verify streams (0xFF where the image
 * holds nothing) into out[capacity] and returns their count, as
 * PRRStreamBytes tells it; 0 when it cannot be told or capacity is short.
 * Call it while no command reads the image. */
QUILLCTL_API uint32_t PRRStreamCopy(const DeviceParameters *device, const AreaRecord *area, int32_t autoRange,
                                    const LoadFileHandle *loadFile, uint8_t *out, uint32_t capacity);

/* The checksum a checksum command over `area` compares with the device's
 * (its "FILE CHECK SUM"): the selected blocks' addresses read from the ready
 * image, 0xFF where it holds nothing. 0; 3 (PRR_STATUS_ILLEGAL_PARAMETER) for
 * null arguments or blocks the device does not have, 1 without a ready image. */
QUILLCTL_API int32_t PRRRangeChecksum(const DeviceParameters *device, const AreaRecord *area,
                                      const LoadFileHandle *loadFile, uint16_t *checksum);

/* Test hook: replaces the library's millisecond clock for the whole process
 * (NULL restores the steady clock). Only for tests that are not about real
 * waits; never for production use. */
QUILLCTL_API void PRRSetTickSourceForTesting(uint32_t (*source)(void));

/* Appends one formatted text (at most 255 characters, no line end added) to a file. */
QUILLCTL_API void PRRLogWrite(const char *file, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

#ifdef __cplusplus
}
#endif

#endif /* QUILLCTL_H */
