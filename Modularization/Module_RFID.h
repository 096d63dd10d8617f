/*
 * Module_RFID.h - card-reader module for EV charger host controllers.
 *
 * The module drives one contactless card reader per serial port. Two reader
 * families are served:
 *   - MODULE_VOR (0):    a checksummed command protocol (length byte,
 *                        command code, parameters, XOR checksum);
 *   - MODULE_ELATEC (1): an Elatec reader's length-prefixed binary protocol
 *                        (16-bit little-endian length, class, number, params).
 * The host chooses the protocol by the functions it calls; the checksummed
 * functions use `moduleType` only to refuse MODULE_ELATEC, the length-prefixed
 * functions ignore it.
 *
 * Contract shared by every reader operation:
 *   - `Fd` is a serial port that the host opened and configured (raw mode,
 *     8N1, its baud rate, and a read that returns when nothing has arrived).
 *     `Fd` <= 0 means "no reader": nothing is sent and the result is false.
 *   - Every request that is written blocks the caller for at least 500 ms:
 *     the module sends the frame, sleeps a fixed half second, then reads the
 *     reply once (at most 256 bytes). Pending bytes on the port are discarded
 *     before each request.
 *   - The module holds no state between calls apart from the exported
 *     variables below, which every call reads afresh. Call the reader
 *     operations from one thread at a time; StoreLogMessage() and
 *     getTimeString() may be called from any number of threads at once.
 *   - Buffers belong to the caller. A serial-number record needs 8 bytes:
 *     byte 0 is the serial length (4 or 7), bytes 1.. the serial number in
 *     the order the reader sent it. Block data is 16 bytes. Outputs are
 *     written only on the success paths named below; otherwise they keep
 *     their contents. A null buffer gives false and sends nothing.
 *   - Block numbers are 0 to 63 (sector = block / 4). Others give false,
 *     send nothing and log "Block %d is out of range." at Warn level.
 *   - Every outcome is logged: one time-stamped line on standard output, and
 *     the same line appended to "/Storage/SystemLog/[YYYY.MM]SystemLog". The
 *     directory belongs to the host system; the module never creates it.
 *   - The only heap allocation is the string returned by getTimeString().
 */
#ifndef MODULE_RFID_H
#define MODULE_RFID_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Diagnostics log ---------------------------------------------------- */

/*
 * Formats a printf-style message (cut to 4095 bytes), stamps it with local
 * time as "[YYYY.MM.DD hh:mm:ss] - message", appends that line plus one
 * newline to the monthly log file with a single write, then prints the line
 * on standard output. A log file that cannot be written loses the entry
 * silently; the console line is still printed. A change of time zone (TZ,
 * or /etc/localtime when TZ is unset) applies from the next entry, or within
 * a second for a replaced /etc/localtime. Safe to call from several threads.
 * @return the formatter's result: the length of the uncut message, or a
 *         negative value when `fmt` is null or cannot be formatted.
 */
int StoreLogMessage(const char* fmt, ...);

/*
 * @return a new 22-byte buffer holding the current UTC time as
 *         "[YYYY-MM-DD hh:mm:ss]"; the caller releases it with free().
 *         Null when no memory could be obtained.
 */
char* getTimeString(void);

/* ---- Reader link -------------------------------------------------------- */

/*
 * One request/reply exchange: discards pending bytes in both directions,
 * writes `length` bytes of `cmd` once, sleeps 500 ms, reads once at most 256
 * bytes into `rx` (which must have room for 256 bytes).
 * @return bytes received (> 0); 0 when the write failed (an Error line is
 *         logged, nothing is waited or read), when nothing arrived, or when
 *         `cmd`/`rx` is null or `length` is negative (nothing sent); a
 *         negative value when the read failed. A `length` of 0 runs the
 *         exchange with an empty write.
 */
int system_command(int uart, unsigned char* cmd, int length, unsigned char* rx);

/*
 * Sector key table: row s holds the 6-byte key of sector s. Every row ships
 * with the MIFARE transport key FF FF FF FF FF FF, the key cards leave the
 * factory with; the host provisions its own keys by overwriting rows, with
 * effect from the next call.
 */
extern unsigned char sectorKeyA[16][6];

/* ---- Checksummed protocol (MODULE_VOR readers) -------------------------- */

/* Command codes; a request carries the low byte of the current value. */
extern uint32_t RFID_CMD_REQUEST_SN;  /* 0x20, failure reply 0xDF */
extern uint32_t RFID_CMD_BLOCK_READ;  /* 0x21, failure reply 0xDE */
extern uint32_t RFID_CMD_BLOCK_WRITE; /* 0x22, failure reply 0xDD */
extern uint32_t RFID_CMD_HALT_14443A; /* 0x28, failure reply 0xD7 */
extern uint32_t RFID_CMD_BUZZER_SET;  /* 0x14, failure reply 0xEC */
extern unsigned char REQA;            /* 1: the card request's parameter */
extern unsigned char WUPA;            /* 0: exported, not used by any call */
extern uint32_t STATUS;               /* 0: exported, not used by any call */

/*
 * @return the XOR of buffer[0] .. buffer[len - 2], i.e. the checksum of a
 *         frame of `len` bytes whose last byte is the checksum itself;
 *         0 when `len` <= 1 or `buffer` is null. Plain char is unsigned on
 *         the ARM target but signed on x86: store it as unsigned char.
 */
char ClaCheckSum(unsigned char* buffer, int len);

/*
 * Asks the reader for the card in its field.
 * @param[out] serialNumber 8 bytes; written only when true is returned.
 * @return true when a 4- or 7-byte serial number was received whole.
 */
bool getRequestCardSN(int Fd, int moduleType, unsigned char* serialNumber);

/*
 * Reads block `block` with the key of its sector (row block / 4 of
 * sectorKeyA); `keyId` is passed to the reader unchanged.
 * @param[out] data 16 bytes; written only when true is returned.
 */
bool getBlockRead(int Fd, int moduleType, int block, unsigned char keyId, unsigned char* data);

/*
 * Writes the 16 bytes of `data` (only read) to block `block`, authenticated
 * with the key of its sector.
 * @return true when the reader confirmed the write.
 */
bool setBlockWrite(int Fd, int moduleType, int block, unsigned char keyid, unsigned char* data);

/* Halts the card in the field; the outcome is only logged. */
void sethaltCard(int Fd, int moduleType);

/*
 * Sounds the buzzer for `time` (0 to 10, reader units); 11 or more is sent
 * as 5 with a Warn line. The outcome is only logged.
 */
void setBuzzer(int Fd, int moduleType, unsigned char time);

/* ---- Length-prefixed protocol (MODULE_ELATEC readers) ------------------- */

/*
 * Looks for a card in the reader's field. `status` is the host's stage:
 * 1 search, 2 read, 3 write. A 4-byte serial number is copied only in the
 * search stage; a 7-byte one in every stage.
 * @param[out] serialNumber 8 bytes; written only as just described.
 * @return true when the reader reports a card (even one whose serial length
 *         is neither 4 nor 7, which yields no record).
 */
bool searchTag(int Fd, int moduleType, unsigned char* serialNumber, int status);

/*
 * Authenticates the sector of `block` with row block / 4 of sectorKeyA;
 * `keyid` selects the key type on the reader (0 key A, 1 key B) and is
 * passed unchanged. Reads and writes carry no key: log in first.
 */
bool MifareClassic_Login(int Fd, int moduleType, int block, unsigned char keyid);

/* @param[out] data 16 bytes; written only when true is returned. */
bool MifareClassic_ReadBlock(int Fd, int moduleType, int block, unsigned char* data);

/*
 * Writes the 16 bytes of `data`. On success, when the reader echoed 16 data
 * bytes, they replace `data`; a reply without them leaves `data` as it was.
 */
bool MifareClassic_WriteBlock(int Fd, int moduleType, int block, unsigned char* data);

/*
 * Sounds the reader: `sound` is passed unchanged, with fixed 2400 Hz and
 * 500 ms on / 500 ms off. The reply is not judged and nothing is logged.
 * The reader takes no request until the beep is over, about a second after
 * the request and so half a second after this call returns: wait at least
 * 600 ms before the next request to the same reader, or that request is
 * lost and its call reads the beep's late reply instead.
 * @return false when `Fd` <= 0, otherwise true.
 */
bool SetBeep(int Fd, int moduleType, unsigned char sound);

#ifdef __cplusplus
}
#endif

#endif /* MODULE_RFID_H */
