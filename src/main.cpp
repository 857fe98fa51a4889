#include "run/tapcal_run.h"

int main() {
  return RunTapcal();
}
