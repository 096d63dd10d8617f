#include "rfid_cardauth/secret.h"

#include <sys/prctl.h>
#include <sys/resource.h>

namespace rfid_cardauth {

void keepKeysOutOfCoreDumps() {
  const rlimit none{0, 0};
  (void)::setrlimit(RLIMIT_CORE, &none);
  (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

}  // namespace rfid_cardauth
