/*
 * connect_erase: connects to a target on COM<n> and erases its chip, printing
 * every record the library reports. A short example of the C interface.
 *
 *   quillrom-sim --prm samples/demo.prm --com 40 &
 *   build/examples/connect_erase samples/demo.prm 40
 */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quillctl.h"

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t arrived = PTHREAD_COND_INITIALIZER;
static unsigned long announced = 0;

/* Called on the library's worker thread: just count and wake the main thread. */
static void post(PRRWindow *self, uint32_t message) {
    (void)self;
    (void)message;
    pthread_mutex_lock(&lock);
    ++announced;
    pthread_cond_signal(&arrived);
    pthread_mutex_unlock(&lock);
}

/* Prints records until a failure (status, percent 100 of 100) or the record
 * that ends the step: `endText` in `state`; returns its status. */
static unsigned long fetched = 0;
static int32_t follow(FlashHandle *h, int32_t state, const char *endText) {
    for (;;) {
        ProgressRecord *r;
        pthread_mutex_lock(&lock);
        while (fetched == announced) pthread_cond_wait(&arrived, &lock);
        pthread_mutex_unlock(&lock);
        ++fetched;
        r = PRRFlshGetProg(h);
        printf("[%3u%%] %s\n", (unsigned)r->percent, r->text[0] ? r->text : "(connected)");
        if (r->status != 0 && r->percent == 100 && r->percentTotal == 100) return r->status;
        if (r->state == state && strcmp(r->text, endText) == 0) return r->status;
    }
}

int main(int argc, char **argv) {
    PRRWindow window = {post, NULL};
    DeviceParameters *device;
    FlashHandle *h;
    ResetRecord reset = {0};
    AreaRecord chip = {PRR_AREA_CHIP, 0, 0, 0, 0};
    int32_t status;

    if (argc != 3) {
        fprintf(stderr, "usage: %s FILE.prm COM-NUMBER\n", argv[0]);
        return 2;
    }
    device = PRRReadPRM(argv[1], 0);
    if (device == NULL || !PRRChecksumPRM(argv[1], 0)) {
        fprintf(stderr, "%s: ParameterFile Read Error or CHECKSUM Error\n", argv[1]);
        PRRFreePRM(device);
        return 3;
    }
    h = PRRFlshOpen(&window, PRR_MSG_FLASH_RECORD, "example");
    reset.frequency = device->typeSet7;
    reset.multiplier = device->typeSet2;
    reset.portNumber = (uint8_t)atoi(argv[2]);

    /* A connect is two resets: prepare the port, then enter the bootloader. */
    h->linePreparePass = 1;
    PRRFlshReset(h, &reset, device);
    h->linePreparePass = 0;
    status = follow(h, PRR_STATE_IDLE, "OK."); /* the prepared port's last line */
    if (status == 0) {
        PRRFlshReset(h, &reset, device);
        status = follow(h, PRR_STATE_CONNECT, "");
    }
    if (status == 0) {
        PRRFlshErase(h, device, &chip, 0);
        status = follow(h, PRR_STATE_ERASE, "chip erase finish.");
    }
    if (status != 0) printf("failed: %s\n", PRRStatusText(status));
    PRRFlshClose(h);
    PRRFreePRM(device);
    return status == 0 ? 0 : 1;
}
