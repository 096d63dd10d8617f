/*
 * rfid_host: a minimal charger host in C. It opens the reader's serial port,
 * identifies the card in the field, reads one block and sounds the reader.
 *
 *   rfid_host [-m vor|elatec] [-b baud] [-n block] DEVICE
 *
 * Exit status: 0 when a card was identified and its block read, 1 when the
 * reader found no card or refused the read, 2 on a usage or port error.
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "Module_RFID.h"

/* The module's reader families and host stages (not in its header). */
enum { MODULE_VOR = 0, MODULE_ELATEC = 1 };
enum { STAGE_SEARCH = 1 };

/* MIFARE Classic key type of the login: 0 key A, 1 key B. The checksummed
 * reader takes its own key selector byte, also passed through unchanged. */
enum { LOGIN_KEY_A = 0, VOR_KEY_SELECTOR = 0 };
enum { BUZZER_TIME = 2, BEEP_VOLUME = 50 };

static int speed_of(long baud, speed_t* speed) {
  switch (baud) {
    case 9600:
      *speed = B9600;
      return 0;
    case 19200:
      *speed = B19200;
      return 0;
    case 38400:
      *speed = B38400;
      return 0;
    case 57600:
      *speed = B57600;
      return 0;
    case 115200:
      *speed = B115200;
      return 0;
    default:
      return -1;
  }
}

/*
 * Puts the reader's port in the mode the module expects: raw bytes, 8 data
 * bits, no parity, one stop bit, no flow control, and a read that returns at
 * once with whatever has arrived (the module waits half a second itself and
 * then reads once). Returns 0, or -1 with errno set.
 */
static int configure_reader_port(int fd, speed_t speed) {
  struct termios tio;
  if (tcgetattr(fd, &tio) != 0) return -1;
  /* Raw: no line editing, echo, signals, or translation of CR and LF; every
   * byte value passes, 0x03 and 0x11 included. */
  tio.c_iflag &=
      ~(tcflag_t)(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
  tio.c_oflag &= ~(tcflag_t)OPOST;
  tio.c_lflag &= ~(tcflag_t)(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  /* 8N1, receiver on, modem control lines ignored. */
  tio.c_cflag &= ~(tcflag_t)(CSIZE | PARENB | CSTOPB);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  /* VMIN 0, VTIME 0: read() never blocks. */
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return -1;
  return tcsetattr(fd, TCSANOW, &tio);
}

/* Returns the open, configured port, or -1 with errno set. */
static int open_reader_port(const char* device, speed_t speed) {
  const int fd = open(device, O_RDWR | O_NOCTTY);
  if (fd >= 0 && configure_reader_port(fd, speed) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

static void print_bytes(const char* label, const unsigned char* bytes, int count) {
  int i;
  printf("%s", label);
  for (i = 0; i < count; ++i) printf(" %02X", bytes[i]);
  printf("\n");
}

/* Checksummed reader: the card request returns the serial number; the
 * block read carries the sector's key itself. */
static int run_vor(int fd, int block) {
  unsigned char serial[8];
  unsigned char data[16];
  if (!getRequestCardSN(fd, MODULE_VOR, serial)) {
    printf("no card\n");
    return 1;
  }
  print_bytes("card", serial + 1, serial[0]);
  if (!getBlockRead(fd, MODULE_VOR, block, VOR_KEY_SELECTOR, data)) {
    printf("block %d: read refused\n", block);
    return 1;
  }
  print_bytes("block", data, (int)sizeof data);
  setBuzzer(fd, MODULE_VOR, BUZZER_TIME);
  return 0;
}

/* Length-prefixed reader: search, log in to the block's sector, read. The
 * beep comes last: the reader answers it only when it has finished sounding
 * (about a second), and any request sent before then would be mixed up with
 * that late answer. */
static int run_elatec(int fd, int block) {
  unsigned char serial[8] = {0};
  unsigned char data[16];
  /* A card whose serial number is neither 4 nor 7 bytes gives no record. */
  if (!searchTag(fd, MODULE_ELATEC, serial, STAGE_SEARCH) || serial[0] == 0) {
    printf("no card\n");
    return 1;
  }
  print_bytes("card", serial + 1, serial[0]);
  if (!MifareClassic_Login(fd, MODULE_ELATEC, block, LOGIN_KEY_A) ||
      !MifareClassic_ReadBlock(fd, MODULE_ELATEC, block, data)) {
    printf("block %d: login or read refused\n", block);
    return 1;
  }
  print_bytes("block", data, (int)sizeof data);
  (void)SetBeep(fd, MODULE_ELATEC, BEEP_VOLUME);
  return 0;
}

/* A whole decimal number, or -1. */
static long parse_number(const char* text) {
  char* end = NULL;
  long value;
  errno = 0;
  value = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 0) return -1;
  return value;
}

static int usage(const char* program) {
  fprintf(stderr, "usage: %s [-m vor|elatec] [-b baud] [-n block] DEVICE\n", program);
  return 2;
}

int main(int argc, char** argv) {
  int model = MODULE_VOR;
  long baud = 9600;
  long block = 4;
  speed_t speed;
  int option;
  int fd;
  int result;

  while ((option = getopt(argc, argv, "m:b:n:")) != -1) {
    switch (option) {
      case 'm':
        if (strcmp(optarg, "vor") == 0) {
          model = MODULE_VOR;
        } else if (strcmp(optarg, "elatec") == 0) {
          model = MODULE_ELATEC;
        } else {
          return usage(argv[0]);
        }
        break;
      case 'b':
        baud = parse_number(optarg);
        break;
      case 'n':
        block = parse_number(optarg);
        break;
      default:
        return usage(argv[0]);
    }
  }
  if (optind != argc - 1) return usage(argv[0]);
  if (speed_of(baud, &speed) != 0) {
    fprintf(stderr, "unsupported baud rate %ld\n", baud);
    return 2;
  }
  /* The module refuses other blocks too, but says so only in its log. */
  if (block < 0 || block > 63) {
    fprintf(stderr, "block %ld is not 0 to 63\n", block);
    return 2;
  }

  fd = open_reader_port(argv[optind], speed);
  if (fd < 0) {
    fprintf(stderr, "%s: %s\n", argv[optind], strerror(errno));
    return 2;
  }
  /* Every call below blocks for at least half a second. */
  result = model == MODULE_VOR ? run_vor(fd, (int)block) : run_elatec(fd, (int)block);
  close(fd);
  return result;
}
