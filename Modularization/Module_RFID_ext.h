/*
 * Module_RFID_ext.h - what the card-reader module offers beyond Module_RFID.h.
 *
 * Nothing here is needed to use the module as Module_RFID.h describes it, and
 * nothing here changes a documented behaviour until a host calls it. Include
 * it beside Module_RFID.h (C99 or C++); the functions are in the same static
 * and shared libraries.
 *
 * The two settings are per process and hold for every later call, from any
 * thread; they may be changed while other threads log or exchange.
 * rfidCardPresent is an operation like those of Module_RFID.h.
 */
#ifndef MODULE_RFID_EXT_H
#define MODULE_RFID_EXT_H

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Moves the monthly log file: later entries go to
 * "<directory>/[YYYY.MM]SystemLog" instead of the build's directory
 * (normally /Storage/SystemLog). The directory is copied; it is not created
 * and must exist. Safe to call while other threads log: each entry goes
 * whole to either the old or the new directory.
 * @param[in] directory at most 236 characters, not empty, not null.
 * @return 0; -1 with nothing changed for a null or empty directory, or one
 *         too long for the file name to fit behind it.
 */
int rfidSetLogDirectory(const char* directory);

/* The wait between writing a request and reading its reply. */
#define RFID_REPLY_WAIT_FIXED 0 /* a fixed 500 ms, as documented (default) */
#define RFID_REPLY_WAIT_QUIET 1 /* until the reply is in, 500 ms at most */
/* The quiet wait (1) that also ends with the whole frame (2); 2 alone is no mode. */
#define RFID_REPLY_WAIT_FRAME 3

/*
 * Chooses how every later exchange waits for its reply.
 *
 * RFID_REPLY_WAIT_FIXED: the documented fixed half second.
 *
 * RFID_REPLY_WAIT_QUIET: the wait ends as soon as reply bytes have arrived
 * and the line has then been quiet for `quietMs`, and never later than
 * 500 ms after the request was written; with no reply it lasts the full
 * 500 ms. Everything else stays: one flush, one write (a failed one logs
 * its Error line and returns 0 without waiting), one read of at most 256
 * bytes, and a signal that cuts the wait short ends it. A reply that arrives
 * whole within the 500 ms gives the same result, the same bytes and the same
 * log lines as with the fixed wait. A descriptor that cannot report its
 * pending input (a regular file, for example) gets the fixed wait.
 *
 * RFID_REPLY_WAIT_FRAME: the quiet wait, which also ends as soon as the
 * reply is as long as its first bytes announce. Both protocols put a byte
 * count in front of every frame: a request laid out as a VOR frame (its
 * first byte the count of the bytes after it, its last the XOR of the
 * others) expects a reply of 1 + its first byte; one laid out as an Elatec
 * frame (the 16-bit little-endian count of the bytes after the first two)
 * a reply of 2 + that count. Any other request gets the quiet wait. The
 * exchange reads the reply as it comes instead of once at the end, and
 * sleeps until the rest is due at the port's baud rate rather than waking
 * for every byte; a reply longer than it announced is cut at its announced
 * end (the next exchange flushes the rest), one shorter ends after the
 * quiet time, as in the quiet wait. On a line that is not a terminal (no
 * baud rate) it is the quiet wait.
 *
 * The quiet time must outlast every pause inside one reply. The default of
 * 20 ms covers the 16 ms latency timer of common USB serial adapters, which
 * deliver a reply in bursts up to 16 ms apart; a native UART at 9600 baud
 * pauses about 1 ms per byte.
 *
 * @param mode    RFID_REPLY_WAIT_FIXED, RFID_REPLY_WAIT_QUIET or
 *                RFID_REPLY_WAIT_FRAME.
 * @param quietMs 1 to 100 (20 is the default); checked in every mode and
 *                kept for the quiet and frame ones.
 * @return 0; -1 with nothing changed for another mode or quietMs.
 */
int rfidSetReplyWait(int mode, int quietMs);

/*
 * Looks for a card as getRequestCardSN (MODULE_VOR) or searchTag in the
 * search stage (MODULE_ELATEC) do, with the same exchange, the same result
 * and the same record in `serialNumber`, but without their Info entry
 * ("Card type ...") for a card found; warnings still go to the log. For
 * hosts that poll a card resting on the reader many times a second and
 * need to know only whether it is still there and which card it is.
 * @return 1 for a card found, 0 for none or a failed exchange, -1 with
 *         nothing sent for another moduleType or a null serialNumber.
 */
int rfidCardPresent(int uart, int moduleType, unsigned char* serialNumber);

#ifdef __cplusplus
}
#endif

#endif /* MODULE_RFID_EXT_H */
