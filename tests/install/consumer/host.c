/* The smallest host: builds a card request with the module's checksum and
 * reads its exported variables, without a reader. Exits 0 when the module
 * answers as documented. */
#include <Module_RFID.h>
#include <stdio.h>
#include <stdlib.h>

#include "Module_RFID.h" /* both include forms reach the installed header */
#include "Module_RFID_ext.h"

int main(void) {
  unsigned char request[4] = {0x03, 0x00, 0x00, 0x00};
  unsigned char serial[8] = {0};
  char* stamp = getTimeString();
  int ok = stamp != NULL;

  request[1] = (unsigned char)RFID_CMD_REQUEST_SN;
  request[2] = REQA;
  ok = ok && (unsigned char)ClaCheckSum(request, 4) == 0x22;
  ok = ok && sectorKeyA[15][5] == 0xFF;
  ok = ok && !getRequestCardSN(0, 0, serial); /* no reader: false, nothing sent */
  ok = ok && rfidSetReplyWait(RFID_REPLY_WAIT_QUIET, 20) == 0 && rfidSetLogDirectory("") == -1;
  ok = ok && !rfidElatecGetSak(0, serial) && rfidElatecTransceive(0, request, 4, serial, 8) == -1 &&
       RFID_ELATEC_MAX_TX == 250;
  ok = ok && rfidSetReplyCheck(1) == 0 && rfidSetLogQueue(2) == -1 && rfidLastExchange() == 0;
  ok = ok && rfidLogMediumState(NULL) == 0 && rfidLastReplyRefused() == 0;
  printf("%s module answers %s\n", stamp != NULL ? stamp : "?", ok ? "as documented" : "wrongly");
  free(stamp);
  return ok ? 0 : 1;
}
