#include "run/tapcal_run.h"

int RunTapcal() {
  return 0;
}
