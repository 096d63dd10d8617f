/*
 * A C99 host of the module: it includes the public header, calls every
 * exported function and touches every exported variable, and is linked with
 * the plain C compiler driver (no C++ runtime). Frames go into a pipe, where
 * the host reads them back, so bool results, pointers and the uint32_t and
 * key-table variables are seen exactly as a C host sees them.
 * Exits non-zero on any failed check.
 */
#define _XOPEN_SOURCE 600

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "Module_RFID.h"
#include "Module_RFID_ext.h"

enum { MODULE_VOR = 0, MODULE_ELATEC = 1, BLOCK = 5, KEY_A = 0x60 };

static int failures;

static void check(int ok, const char* what) {
  if (!ok) {
    ++failures;
    printf("FAIL: %s\n", what);
  }
}

int main(void) {
  static const unsigned char key[6] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
  unsigned char frame[4] = {0x03, 0x20, 0x01, 0x00};
  unsigned char record[8] = {0}, data[16] = {0}, sent[32];
  int row, transport = 1, pipe_ends[2];
  char* stamp;

  check(RFID_CMD_REQUEST_SN == 0x20u && RFID_CMD_BLOCK_READ == 0x21u &&
            RFID_CMD_BLOCK_WRITE == 0x22u && RFID_CMD_HALT_14443A == 0x28u &&
            RFID_CMD_BUZZER_SET == 0x14u && REQA == 1 && WUPA == 0 && STATUS == 0u,
        "exported variables hold their initial values");
  for (row = 0; row < 16; ++row)
    transport &= memcmp(sectorKeyA[row], "\xFF\xFF\xFF\xFF\xFF\xFF", 6) == 0;
  check(sizeof sectorKeyA == 16 * 6 && transport, "16 key rows of the transport key");
  stamp = getTimeString();
  check((unsigned char)ClaCheckSum(frame, 4) == 0x22 && stamp != NULL && strlen(stamp) == 21 &&
            StoreLogMessage("C host %s %d", "says", 42) == 14 &&
            system_command(-1, frame, 4, data) == 0,
        "checksum, time string, log and a failed write");
  free(stamp);
  /* Without a reader nothing is sent and every result is false. */
  check(!getRequestCardSN(0, MODULE_VOR, record) && !getBlockRead(0, MODULE_VOR, BLOCK, 0, data) &&
            !setBlockWrite(0, MODULE_VOR, BLOCK, KEY_A, data) &&
            !searchTag(0, MODULE_ELATEC, record, 1) &&
            !MifareClassic_Login(0, MODULE_ELATEC, BLOCK, 0) &&
            !MifareClassic_ReadBlock(0, MODULE_ELATEC, BLOCK, data) &&
            !MifareClassic_WriteBlock(0, MODULE_ELATEC, BLOCK, data) &&
            !SetBeep(0, MODULE_ELATEC, 1) && record[0] == 0,
        "no reader: false and the record untouched");
  sethaltCard(0, MODULE_VOR);
  setBuzzer(0, MODULE_VOR, 3);

  /* The key the host provisions goes out in the frame; no reply comes back
   * from a pipe's write end, so the read is false and the beep, which takes
   * no reply, true. */
  memcpy(sectorKeyA[BLOCK / 4], key, sizeof key);
  if (pipe(pipe_ends) != 0) return 2;
  check(getBlockRead(pipe_ends[1], MODULE_VOR, BLOCK, KEY_A, data) == 0 &&
            read(pipe_ends[0], sent, sizeof sent) == 11 && sent[3] == BLOCK &&
            memcmp(sent + 4, key, sizeof key) == 0,
        "block read: the provisioned key in the frame, false without a reply");
  check(SetBeep(pipe_ends[1], MODULE_ELATEC, 1) == 1 && read(pipe_ends[0], sent, sizeof sent) == 11,
        "beep: the frame sent and true");

  /* The extension links from C: its arguments are checked. */
  check(rfidSetLogDirectory("") == -1 && rfidSetReplyWait(2, 20) == -1 &&
            rfidSetReplyWait(RFID_REPLY_WAIT_QUIET, 20) == 0 && rfidSetReplyCheck(2) == -1 &&
            rfidSetReplyCheck(1) == 0 && rfidSetReplyCheck(0) == 0 && rfidSetLogQueue(2) == -1 &&
            rfidLogMediumState(NULL) == 0,
        "extension: bad arguments refused, good ones taken");
  /* The ISO 14443-4 functions refuse bad arguments before sending; a TDX
   * request goes out whole, and without a reply the result is -1 and false. */
  {
    static const unsigned char apdu[8] = {0x90, 0x71, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00};
    static const unsigned char request[14] = {0x0C, 0x00, 0x12, 0x03, 0x08, 0x90, 0x71,
                                              0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x10};
    unsigned char sak = 0x5A, card[16];
    check(!rfidElatecGetSak(0, &sak) && sak == 0x5A &&
              rfidElatecTransceive(0, apdu, 8, card, 16) == -1 &&
              rfidElatecTransceive(pipe_ends[1], apdu, 0, card, 16) == -1 &&
              rfidElatecTransceive(pipe_ends[1], apdu, RFID_ELATEC_MAX_TX + 1, card, 16) == -1 &&
              rfidElatecTransceive(pipe_ends[1], apdu, 8, card, 0) == -1,
          "ISO 14443-4: bad arguments refused");
    check(rfidElatecTransceive(pipe_ends[1], apdu, 8, card, 16) == -1 &&
              read(pipe_ends[0], sent, sizeof sent) == 14 && memcmp(sent, request, 14) == 0 &&
              !rfidElatecGetSak(pipe_ends[1], &sak) && read(pipe_ends[0], sent, sizeof sent) == 4 &&
              memcmp(sent, "\x02\x00\x12\x05", 4) == 0 && sak == 0x5A,
          "ISO 14443-4: frames sent, no reply refused");
  }
  check(rfidLastExchange() < 0 && rfidLastReplyRefused() == 0,
        "extension: the failed read of the last exchange is told");
  printf("%s\n", failures == 0 ? "all passed" : "failed");
  return failures == 0 ? 0 : 1;
}
