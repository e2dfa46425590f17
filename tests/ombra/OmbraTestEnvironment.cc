// APR set-up for every Ombra test binary.
#include <gtest/gtest.h>

#include "OmbraGlobal.h"

namespace {

class OmbraEnvironment : public testing::Environment {
  public:
    void SetUp() override {
        ASSERT_TRUE(Ombra::GlobalInit());
        ASSERT_TRUE(Ombra::InitSsl());
    }
    void TearDown() override {
        Ombra::CleanupSsl();
        Ombra::GlobalDeinit();
    }
};

testing::Environment *const g_Environment =
    testing::AddGlobalTestEnvironment(new OmbraEnvironment());

}  // namespace
