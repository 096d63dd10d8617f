/*
 * Module_RFID_ext.h - what the card-reader module offers beyond Module_RFID.h.
 *
 * Nothing here is needed to use the module as Module_RFID.h describes it, and
 * nothing here changes a documented behaviour until a host calls it. Include
 * it beside Module_RFID.h (C99 or C++); the functions are in the same static
 * and shared libraries.
 *
 * The settings are per process and hold for every later call, from any
 * thread; they may be changed while other threads log or exchange.
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
 * The quiet time must outlast every pause inside one reply. The default of
 * 20 ms covers the 16 ms latency timer of common USB serial adapters, which
 * deliver a reply in bursts up to 16 ms apart; a native UART at 9600 baud
 * pauses about 1 ms per byte.
 *
 * @param mode    RFID_REPLY_WAIT_FIXED or RFID_REPLY_WAIT_QUIET.
 * @param quietMs 1 to 100 (20 is the default); checked in either mode and
 *                kept for the quiet one.
 * @return 0; -1 with nothing changed for another mode or quietMs.
 */
int rfidSetReplyWait(int mode, int quietMs);

/* ---- Reply check ---------------------------------------------------------- */

/*
 * on = 1: every later reply must be one whole, consistent frame before any
 * byte of it is used. A checksummed (VOR) reply must be exactly as long as
 * its length byte says (that byte counts the bytes after it) and end with
 * the XOR of all bytes before the last; a length-prefixed (Elatec) reply
 * must be exactly as long as its 16-bit length says (the count of the bytes
 * after the two length bytes). Bytes left over from an earlier reply, a
 * reply cut short or a byte changed on the line then give the operation's
 * failure result, outputs untouched, and one Warn line
 * "Reply refused: N bytes, not one whole frame." The beep's reply, which is
 * never judged, is not checked either.
 * on = 0 (the default): replies are taken as Module_RFID.h describes.
 * @return 0; -1 with nothing changed for another value.
 */
int rfidSetReplyCheck(int on);

/*
 * What the calling thread's latest exchange got: the count of reply bytes
 * (> 0); 0 when no reply came; or a negative errno value when the write or
 * the read of the exchange failed (-EIO for a port that fails, -EAGAIN for
 * a reader that takes no bytes on a non-blocking port). 0 before the
 * thread's first exchange. Hosts tell a silent or failing reader from an
 * empty field with it; it changes nothing the operations do.
 */
int rfidLastExchange(void);

/*
 * 1 when the reply check refused the calling thread's latest reply, else 0:
 * the operation's false then says nothing about the card in the field.
 */
int rfidLastReplyRefused(void);

/* ---- Queued log ------------------------------------------------------------ */

/*
 * on = 1: StoreLogMessage() still prints its console line at once, but
 * hands the file entry to a queue of 64 KiB that one thread of the module
 * writes to the monthly file, so that no caller waits for the medium. An
 * entry that finds the queue full is dropped and counted; once the medium
 * takes an entry again, the count goes into the file as one entry
 * "N log entries were lost.".
 * The first call with on = 1 starts the thread. on = 0 (the default)
 * writes each later entry in the caller's thread as Module_RFID.h
 * describes; after on = 1 it first waits up to 100 ms for the queued
 * entries to reach the file (call it at exit to keep the last entries).
 * @return 0; -1 with nothing changed for another value or when the thread
 *         cannot be started.
 */
int rfidSetLogQueue(int on);

/*
 * The log medium as the queued log last found it: 0 while entries reach
 * the file; otherwise why entries are being lost: the errno value of the
 * last failed open or write (ENOSPC full, EROFS read-only, ENOENT directory
 * removed, ...), ETIMEDOUT while one entry has been on its way to the file
 * for more than a second (a medium that blocks), ENOBUFS when the queue
 * overflowed while the medium kept taking entries. `lost`, when not null,
 * receives the count of entries lost since the queue was turned on.
 * Always 0, with no loss, while the log is not queued.
 */
int rfidLogMediumState(unsigned long* lost);

#ifdef __cplusplus
}
#endif

#endif /* MODULE_RFID_EXT_H */
