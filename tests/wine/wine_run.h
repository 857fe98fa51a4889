// The one Windows host of a test program's run, shared by all its tests: the prefix is set up
// once, at the first test that asks for it, and taken down when the program's tests end.
#pragma once

#include "wine_host.h"

namespace wine_run {

testing_support::WineHost& Host();

}  // namespace wine_run
