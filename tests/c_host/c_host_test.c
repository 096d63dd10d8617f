/*
 * A C99 host of the module: it includes the public header, calls every
 * exported function and touches every exported variable, and is linked with
 * the plain C compiler driver (no C++ runtime). Two real exchanges, a card
 * request and a block read carrying a key the host provisioned, run against
 * a forked reader on a pseudo-terminal, so bool results, pointers and the
 * uint32_t and key-table variables are seen exactly as a C host sees them.
 * Exits non-zero on any failed check.
 */
#define _XOPEN_SOURCE 600

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "Module_RFID.h"

enum { MODULE_VOR = 0, MODULE_ELATEC = 1, BLOCK = 5, KEY_A = 0x60 };

static int failures;

static void check(int ok, const char* what) {
  if (!ok) {
    ++failures;
    printf("FAIL: %s\n", what);
  }
}

static const unsigned char card_request[4] = {0x03, 0x20, 0x01, 0x22};
static const unsigned char serial_reply[7] = {0x09, 0x20, 0xC1, 0xC2, 0xC3, 0xC4, 0x00};
static const unsigned char key[6] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
static unsigned char read_request[11] = {0x0A, 0x21, KEY_A, BLOCK, 0xA0,
                                         0xA1, 0xA2, 0xA3,  0xA4,  0xA5};
static unsigned char read_reply[18] = {0x12, 0x21, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66,
                                       0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

/* The reader: each request must arrive byte for byte; exit 1 otherwise. */
static void serve(int master, const unsigned char* request, size_t length,
                  const unsigned char* reply, size_t reply_length) {
  unsigned char got[32];
  size_t have = 0;
  while (have < length) {
    const ssize_t n = read(master, got + have, length - have);
    if (n <= 0) _exit(1);
    have += (size_t)n;
  }
  if (memcmp(got, request, length) != 0) _exit(1);
  if (write(master, reply, reply_length) != (ssize_t)reply_length) _exit(1);
}

int main(void) {
  unsigned char record[8] = {0};
  unsigned char data[16] = {0};
  unsigned char frame[4] = {0x03, 0x20, 0x01, 0x00};
  struct termios tio;
  char* stamp;
  int master, port, status = 0, row, transport = 1;
  pid_t reader;
  size_t i;

  setvbuf(stdout, NULL, _IONBF, 0); /* the forked reader never repeats lines */
  check(RFID_CMD_REQUEST_SN == 0x20u && RFID_CMD_BLOCK_READ == 0x21u &&
            RFID_CMD_BLOCK_WRITE == 0x22u && RFID_CMD_HALT_14443A == 0x28u &&
            RFID_CMD_BUZZER_SET == 0x14u && REQA == 1 && WUPA == 0 && STATUS == 0u,
        "exported variables hold their initial values");
  for (row = 0; row < 16; ++row)
    transport &= memcmp(sectorKeyA[row], "\xFF\xFF\xFF\xFF\xFF\xFF", 6) == 0;
  check(sizeof sectorKeyA == 16 * 6 && transport, "16 key rows of the transport key");
  memcpy(sectorKeyA[BLOCK / 4], key, sizeof key);
  for (i = 0; i < 10; ++i) read_request[10] ^= read_request[i];

  check((unsigned char)ClaCheckSum(frame, 4) == 0x22, "checksum of the card request");
  stamp = getTimeString();
  check(stamp != NULL && strlen(stamp) == 21 && stamp[0] == '[' && stamp[20] == ']', "time string");
  free(stamp);
  check(StoreLogMessage("C host %s %d", "says", 42) == 14, "log returns the message length");
  check(system_command(-1, frame, 4, data) == 0, "failed write returns 0");
  /* Without a reader nothing is sent and every result is false. */
  check(!setBlockWrite(0, MODULE_VOR, BLOCK, KEY_A, data) &&
            !searchTag(0, MODULE_ELATEC, record, 1) &&
            !MifareClassic_Login(0, MODULE_ELATEC, BLOCK, 0) &&
            !MifareClassic_ReadBlock(0, MODULE_ELATEC, BLOCK, data) &&
            !MifareClassic_WriteBlock(0, MODULE_ELATEC, BLOCK, data) &&
            !SetBeep(0, MODULE_ELATEC, 1) && record[0] == 0,
        "no reader: false and the record untouched");
  sethaltCard(0, MODULE_VOR);
  setBuzzer(0, MODULE_VOR, 3);

  master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 2;
  port = open(ptsname(master), O_RDWR | O_NOCTTY);
  if (port < 0 || tcgetattr(port, &tio) != 0) return 2;
  tio.c_iflag = 0; /* raw 8N1, as a host sets up its serial port */
  tio.c_oflag = 0;
  tio.c_lflag = 0;
  tio.c_cflag = (tio.c_cflag & ~(tcflag_t)(CSIZE | PARENB)) | CS8;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(port, TCSANOW, &tio) != 0) return 2;
  reader = fork();
  if (reader < 0) return 2;
  if (reader == 0) {
    close(port);
    serve(master, card_request, sizeof card_request, serial_reply, sizeof serial_reply);
    serve(master, read_request, sizeof read_request, read_reply, sizeof read_reply);
    _exit(0);
  }
  check(getRequestCardSN(port, MODULE_VOR, record) == 1 &&
            memcmp(record, "\x04\xC1\xC2\xC3\xC4", 5) == 0,
        "card request: true and the 4-byte serial record");
  check(getBlockRead(port, MODULE_VOR, BLOCK, KEY_A, data) == 1 &&
            memcmp(data, read_reply + 2, 16) == 0,
        "block read with the provisioned key: true and the block");
  check(waitpid(reader, &status, 0) == reader && WIFEXITED(status) && WEXITSTATUS(status) == 0,
        "the reader got both requests byte for byte");
  close(port);
  close(master);
  printf("%s\n", failures == 0 ? "all passed" : "failed");
  return failures == 0 ? 0 : 1;
}
