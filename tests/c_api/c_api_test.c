/* Uses the library from C through its public header only. */
#include <stddef.h>
#include <stdio.h>

#include "quillctl.h"

static int failures = 0;
#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) {                                                \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                               \
        }                                                             \
    } while (0)

int main(void) {
    FlashHandle *h;
    ProgressRecord *rec;
    CommandSlot slot;

    CHECK(PRRGetVersion() == 273);
    CHECK(sizeof(slot.payload) == 40);
    CHECK(offsetof(CommandSlot, payload) == 8);
    CHECK(sizeof(PRRPayloadNV12) == 40 && sizeof(PRRPayloadTIMES) == 40 && sizeof(PRRPayloadSEQ) == 40);

    h = PRRFlshOpen(NULL, PRR_MSG_FLASH_RECORD, "c");
    CHECK(h != NULL);
    if (h != NULL) {
        CHECK(h->port == PRR_INVALID_PORT);
        h->appWord = 42; /* the application's own word is never touched */
        CHECK(PRRFlshCmdOpt(h, 0x0B) == 0);
        CHECK(h->commandOptions == 0x0B);
        CHECK(PRRFlshAbort(h, NULL) == 0);
        rec = PRRFlshGetProg(h);
        CHECK(rec != NULL);
        CHECK(PRRFlshClosePort(h) == 0);
        CHECK(h->appWord == 42);
        PRRFlshClose(h);
    }
    CHECK(PRRFlshGetProg(NULL) == NULL);
    if (failures == 0) printf("c_api_test: 1 passed, 0 failed\n");
    return failures == 0 ? 0 : 1;
}
