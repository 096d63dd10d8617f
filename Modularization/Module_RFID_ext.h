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
 * rfidCardPresent is an operation like those of Module_RFID.h.
 */
#ifndef MODULE_RFID_EXT_H
#define MODULE_RFID_EXT_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The module's own values that a host needs, named once. Module_RFID.h takes
 * them as plain int and byte buffers; these are the values and sizes it means.
 */
#define RFID_MODULE_NONE (-1) /* NO_MODULE: no reader */
#define RFID_MODULE_VOR 0     /* the checksummed protocol's readers */
#define RFID_MODULE_ELATEC 1  /* the length-prefixed protocol's readers */

#define RFID_STAGE_SEARCH 1 /* searchTag's status: looking for a card */
#define RFID_STAGE_READ 2   /* searchTag's status: before a block read */
#define RFID_STAGE_WRITE 3  /* searchTag's status: before a block write */

#define RFID_SERIAL_RECORD_SIZE 8 /* length byte (4 or 7), then the serial number */
#define RFID_BLOCK_SIZE 16        /* bytes of one MIFARE Classic block */
#define RFID_BLOCKS_PER_SECTOR 4
#define RFID_SECTOR_COUNT 16                                          /* rows of sectorKeyA */
#define RFID_BLOCK_COUNT (RFID_SECTOR_COUNT * RFID_BLOCKS_PER_SECTOR) /* blocks 0 to 63 */
#define RFID_KEY_SIZE 6                                               /* bytes of one sector key */

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
 * for every byte. Once the reply is as long as it announced, the exchange
 * looks at the line for 4 byte times more (at least 2 ms, at most the
 * quiet time): bytes that follow at once belong to the same burst (an
 * earlier reply relayed into this one) and are read with it, so that the
 * reply check refuses the frame; later bytes are left to the next
 * exchange's flush. A reply shorter than it announced ends after the quiet
 * time, as in the quiet wait. On a line that is not a terminal (no baud
 * rate) it is the quiet wait.
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

/* ---- ISO 14443-4 cards on the Elatec reader --------------------------------
 * Both take the descriptor of an Elatec reader whose tag search (searchTag)
 * has just found and selected a card, and go through the module's one
 * exchange with the reply wait chosen above. Bad arguments are refused
 * before anything is sent. No log line holds a card byte: a line names the
 * outcome and byte counts only.
 */

/*
 * Reads the selected card's SAK (the reader's GetSAK). Bit 0x20 set marks an
 * ISO 14443-4 card (DESFire); MIFARE Classic 1K and 4K answer 0x08 and 0x18.
 * @param[in]  Fd  the reader's descriptor, above 0.
 * @param[out] sak set only when true is returned; not null.
 * @return true when the reader answered with success.
 */
bool rfidElatecGetSak(int Fd, unsigned char* sak);

/* The longest command and reply of one exchange in the module's frames. */
#define RFID_ELATEC_MAX_TX 250
#define RFID_ELATEC_MAX_RX 251

/*
 * One ISO 14443-4 exchange (the reader's TDX): the reader frames `tx` (an
 * ISO 7816 APDU, for example) into layer-4 blocks, sends it to the selected
 * card and hands back the card's reply. The reader is asked for at most
 * min(rxCapacity, RFID_ELATEC_MAX_RX) reply bytes.
 * @param[in]  Fd         the reader's descriptor, above 0.
 * @param[in]  tx         the command, not null.
 * @param      txLength   1 to RFID_ELATEC_MAX_TX.
 * @param[out] rx         the card's reply; not null.
 * @param      rxCapacity room in rx, 1 or more.
 * @return the number of card bytes written to rx (0 or more) when the reader
 *         answered with success; -1 otherwise, with nothing sent for bad
 *         arguments and nothing written to rx for a reply that claims more
 *         card bytes than arrived or than rxCapacity holds.
 */
int rfidElatecTransceive(int Fd, const unsigned char* tx, int txLength, unsigned char* rx,
                         int rxCapacity);

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
