#include "wine_run.h"

#include <gtest/gtest.h>

#include <memory>

namespace wine_run {

namespace {

std::unique_ptr<testing_support::WineHost> host;

class HostEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { host.reset(); }
};

[[maybe_unused]] const auto* const environment =
    ::testing::AddGlobalTestEnvironment(new HostEnvironment);

}  // namespace

testing_support::WineHost& Host() {
  if (!host) host = std::make_unique<testing_support::WineHost>();
  return *host;
}

}  // namespace wine_run
