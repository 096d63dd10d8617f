/*
 * A C99 host of the module: it includes the public header, calls every
 * exported function and touches every exported variable, and is linked with
 * the plain C compiler driver (no C++ runtime). The reader is a forked child
 * on the master side of a pseudo-terminal that checks each request against
 * the frame it expects and answers with a scripted reply, so the results,
 * outputs and exported variables are seen exactly as a C host sees them.
 *
 * Prints one line per failed check and a closing count; exits non-zero on
 * any failure.
 */
#define _XOPEN_SOURCE 600

#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "Module_RFID.h"

/* Module types and the search stage, as the module defines them. */
enum { MODULE_VOR = 0, MODULE_ELATEC = 1, STAGE_SEARCH = 1 };

static int checks;
static int failures;

static void check(int ok, const char* what) {
  ++checks;
  if (!ok) {
    ++failures;
    printf("FAIL: %s\n", what);
  }
}

/* ---- The scripted reader ------------------------------------------------ */

struct step {
  unsigned char request[32];
  size_t request_length;
  unsigned char reply[32];
  size_t reply_length;
};

enum { MAX_STEPS = 16 };
static struct step script[MAX_STEPS];
static size_t script_length;

static struct step* add_step(const unsigned char* request, size_t request_length,
                             const unsigned char* reply, size_t reply_length) {
  struct step* s = &script[script_length++];
  memcpy(s->request, request, request_length);
  s->request_length = request_length;
  memcpy(s->reply, reply, reply_length);
  s->reply_length = reply_length;
  return s;
}

/* Raw 8-bit mode with a read that returns at once, as a host configures its
 * serial port. */
static int make_raw(int fd) {
  struct termios tio;
  if (tcgetattr(fd, &tio) != 0) return -1;
  tio.c_iflag &= ~(tcflag_t)(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
  tio.c_oflag &= ~(tcflag_t)OPOST;
  tio.c_lflag &= ~(tcflag_t)(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag &= ~(tcflag_t)(CSIZE | PARENB);
  tio.c_cflag |= CS8;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  return tcsetattr(fd, TCSANOW, &tio);
}

/* Reads exactly `length` bytes; a request may reach the master in pieces. */
static int read_request(int fd, unsigned char* buffer, size_t length) {
  size_t got = 0;
  while (got < length) {
    const ssize_t n = read(fd, buffer + got, length - got);
    if (n <= 0) return -1;
    got += (size_t)n;
  }
  return 0;
}

/* The child: answers the script in order. Exit status: the number of the
 * first step whose request differed or never came, 0 when all matched. */
static void serve_script(int master) {
  size_t i;
  /* Reads on the master block until the module's request arrives. */
  for (i = 0; i < script_length; ++i) {
    unsigned char request[32];
    if (read_request(master, request, script[i].request_length) != 0 ||
        memcmp(request, script[i].request, script[i].request_length) != 0) {
      _exit((int)i + 1);
    }
    if (write(master, script[i].reply, script[i].reply_length) != (ssize_t)script[i].reply_length) {
      _exit((int)i + 1);
    }
  }
  _exit(0);
}

/* ---- The host ----------------------------------------------------------- */

static const unsigned char provisioned_key[6] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
static const unsigned char card_block[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                             0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
enum { BLOCK = 5, SECTOR = BLOCK / 4, KEY_A = 0x60 };

static unsigned char xor_of(const unsigned char* bytes, size_t length) {
  unsigned char sum = 0;
  size_t i;
  for (i = 0; i < length; ++i) sum ^= bytes[i];
  return sum;
}

/* The requests the module must send, built here independently of it. */
static void build_script(void) {
  unsigned char request[32];
  unsigned char reply[32];

  /* Exchange of a raw frame: a halt request sealed by hand. */
  {
    const unsigned char halt[3] = {0x02, 0x28, 0x02 ^ 0x28};
    const unsigned char passed[2] = {0x02, 0x28};
    add_step(halt, sizeof halt, passed, sizeof passed);
  }
  /* Checksummed reader: card request, 4-byte serial number. */
  {
    const unsigned char card_request[4] = {0x03, 0x20, 0x01, 0x22};
    const unsigned char serial_reply[10] = {0x09, 0x20, 0xC1, 0xC2, 0xC3, 0xC4, 0, 0, 0, 0};
    add_step(card_request, sizeof card_request, serial_reply, sizeof serial_reply);
  }
  /* Block read with the provisioned key of the block's sector. */
  request[0] = 0x0A;
  request[1] = 0x21;
  request[2] = KEY_A;
  request[3] = BLOCK;
  memcpy(request + 4, provisioned_key, 6);
  request[10] = xor_of(request, 10);
  reply[0] = 0x12;
  reply[1] = 0x21;
  memcpy(reply + 2, card_block, 16);
  add_step(request, 11, reply, 18);
  /* Block write: the same header, the key, then the data. */
  request[0] = 0x1A;
  request[1] = 0x22;
  memcpy(request + 10, card_block, 16);
  request[26] = xor_of(request, 26);
  reply[0] = 0x02;
  reply[1] = 0x22;
  add_step(request, 27, reply, 2);
  /* Halt and buzzer: outcomes only logged. */
  {
    const unsigned char halt[3] = {0x02, 0x28, 0x2A};
    const unsigned char halted[2] = {0x02, 0x28};
    const unsigned char buzzer[4] = {0x03, 0x14, 0x03, 0x03 ^ 0x14 ^ 0x03};
    const unsigned char sounded[2] = {0x02, 0x14};
    add_step(halt, sizeof halt, halted, sizeof halted);
    add_step(buzzer, sizeof buzzer, sounded, sizeof sounded);
  }
  /* Length-prefixed reader: tag search with a 7-byte serial number. */
  {
    const unsigned char search[5] = {0x03, 0x00, 0x05, 0x00, 0x10};
    const unsigned char found[14] = {0x0C, 0x00, 0x00, 0x01, 0x80, 0x00, 0x07,
                                     0x04, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76};
    add_step(search, sizeof search, found, sizeof found);
  }
  /* Login to the block's sector, key A, with the provisioned key. */
  request[0] = 0x0A;
  request[1] = 0x00;
  request[2] = 0x0B;
  request[3] = 0x00;
  memcpy(request + 4, provisioned_key, 6);
  request[10] = 0x00;
  request[11] = SECTOR;
  {
    const unsigned char passed[4] = {0x02, 0x00, 0x00, 0x01};
    add_step(request, 12, passed, sizeof passed);
    /* Read and write carry the block number, no key. */
    request[0] = 0x03;
    request[3] = 0x01;
    request[4] = BLOCK;
    reply[0] = 0x12;
    reply[1] = 0x00;
    reply[2] = 0x00;
    reply[3] = 0x01;
    memcpy(reply + 4, card_block, 16);
    add_step(request, 5, reply, 20);
    request[0] = 0x13;
    request[3] = 0x02;
    memcpy(request + 5, card_block, 16);
    add_step(request, 21, passed, sizeof passed);
  }
  /* Beep: the sound byte, 2400 Hz, 500 ms on, 500 ms off. */
  {
    const unsigned char beep[11] = {0x09, 0x00, 0x04, 0x07, 0x40, 0x60,
                                    0x09, 0xF4, 0x01, 0xF4, 0x01};
    const unsigned char done[4] = {0x02, 0x00, 0x00, 0x01};
    add_step(beep, sizeof beep, done, sizeof done);
  }
}

static void check_exported_variables(void) {
  int row;
  int ok = 1;
  check(RFID_CMD_REQUEST_SN == 0x20u && RFID_CMD_BLOCK_READ == 0x21u &&
            RFID_CMD_BLOCK_WRITE == 0x22u && RFID_CMD_HALT_14443A == 0x28u &&
            RFID_CMD_BUZZER_SET == 0x14u,
        "command codes hold their initial values");
  check(REQA == 1 && WUPA == 0 && STATUS == 0u, "REQA, WUPA and STATUS hold 1, 0, 0");
  check(sizeof sectorKeyA == 16 * 6, "the key table has 16 rows of 6 bytes");
  for (row = 0; row < 16; ++row) {
    ok = ok && memcmp(sectorKeyA[row], "\xFF\xFF\xFF\xFF\xFF\xFF", 6) == 0;
  }
  check(ok, "every key row ships with the transport key");
  /* The host provisions its key; the module reads it at the next call. */
  memcpy(sectorKeyA[SECTOR], provisioned_key, sizeof provisioned_key);
}

static void check_without_reader(void) {
  unsigned char frame[4] = {0x03, 0x20, 0x01, 0x00};
  unsigned char record[8] = {0};
  char* stamp;

  check((unsigned char)ClaCheckSum(frame, 4) == 0x22, "checksum of the card request is 0x22");
  check(ClaCheckSum(NULL, 4) == 0 && ClaCheckSum(frame, 1) == 0, "checksum of nothing is 0");

  stamp = getTimeString();
  check(stamp != NULL && strlen(stamp) == 21 && stamp[0] == '[' && stamp[20] == ']',
        "time string is \"[YYYY-MM-DD hh:mm:ss]\"");
  free(stamp);

  check(StoreLogMessage("C host %s %d", "says", 42) == 14, "log returns the message length");
  check(StoreLogMessage(NULL) < 0, "log of a null format is negative");

  check(!getRequestCardSN(0, MODULE_VOR, record) && !searchTag(-1, MODULE_ELATEC, record, 1) &&
            !SetBeep(0, MODULE_ELATEC, 1) && record[0] == 0,
        "no reader: false and the record untouched");
  check(!getRequestCardSN(1, MODULE_ELATEC, record), "checksummed call refuses MODULE_ELATEC");
}

static void run_host(int port) {
  unsigned char frame[3] = {0x02, 0x28, 0x00};
  unsigned char rx[256];
  unsigned char record[8] = {0};
  unsigned char data[16] = {0};
  const unsigned char four_byte_serial[5] = {4, 0xC1, 0xC2, 0xC3, 0xC4};
  const unsigned char seven_byte_serial[8] = {7, 0x04, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76};

  frame[2] = (unsigned char)ClaCheckSum(frame, 3);
  check(system_command(port, frame, 3, rx) == 2 && rx[0] == 0x02 && rx[1] == 0x28,
        "system_command returns the 2 reply bytes");

  check(getRequestCardSN(port, MODULE_VOR, record), "getRequestCardSN");
  check(memcmp(record, four_byte_serial, 5) == 0, "4-byte serial record");
  check(getBlockRead(port, MODULE_VOR, BLOCK, KEY_A, data), "getBlockRead");
  check(memcmp(data, card_block, 16) == 0, "block read data");
  check(setBlockWrite(port, MODULE_VOR, BLOCK, KEY_A, data), "setBlockWrite");
  sethaltCard(port, MODULE_VOR);
  setBuzzer(port, MODULE_VOR, 3);

  memset(data, 0, sizeof data);
  check(searchTag(port, MODULE_ELATEC, record, STAGE_SEARCH), "searchTag");
  check(memcmp(record, seven_byte_serial, 8) == 0, "7-byte serial record");
  check(MifareClassic_Login(port, MODULE_ELATEC, BLOCK, 0), "MifareClassic_Login");
  check(MifareClassic_ReadBlock(port, MODULE_ELATEC, BLOCK, data), "MifareClassic_ReadBlock");
  check(memcmp(data, card_block, 16) == 0, "MIFARE Classic read data");
  check(MifareClassic_WriteBlock(port, MODULE_ELATEC, BLOCK, data), "MifareClassic_WriteBlock");
  check(SetBeep(port, MODULE_ELATEC, 0x40), "SetBeep");
}

int main(void) {
  int master;
  int port;
  pid_t reader;
  int status = 0;

  /* Unbuffered, so the forked reader never prints the host's lines again. */
  setvbuf(stdout, NULL, _IONBF, 0);
  check_exported_variables();
  check_without_reader();
  build_script();

  master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    perror("pseudo-terminal");
    return 2;
  }
  port = open(ptsname(master), O_RDWR | O_NOCTTY);
  if (port < 0 || make_raw(port) != 0) {
    perror("serial port");
    return 2;
  }
  reader = fork();
  if (reader < 0) {
    perror("fork");
    return 2;
  }
  if (reader == 0) {
    close(port);
    serve_script(master);
  }

  run_host(port);
  if (waitpid(reader, &status, 0) != reader || !WIFEXITED(status)) {
    check(0, "the reader ended normally");
  } else if (WEXITSTATUS(status) != 0) {
    printf("FAIL: request %d differed from the expected frame or never came\n",
           WEXITSTATUS(status));
    ++checks;
    ++failures;
  } else {
    ++checks;
  }
  close(port);
  close(master);

  printf("\n%d passed, %d failed\n", checks - failures, failures);
  return failures == 0 ? 0 : 1;
}
