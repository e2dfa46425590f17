// APR is initialised once for every test of a binary, as a host process does.
#include <apr_general.h>
#include <gtest/gtest.h>

namespace {

class AprEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { apr_initialize(); }
    void TearDown() override { apr_terminate(); }
};

const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new AprEnvironment);

}  // namespace
