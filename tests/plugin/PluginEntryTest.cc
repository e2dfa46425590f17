// The module as a server sees it: its exports, and its entry points called
// through dlopen.
#include <dlfcn.h>

#include <set>

#include "KoralTest/AprPool.h"
#include "KoralTest/LogCapture.h"
#include "PluginFixture.h"
#include "mrcp_engine_plugin.h"

using namespace KoralTest;

namespace {

// Exactly the entry points are exported; a second engine create is refused.
TEST(PluginEntryTest, ExportsAndEntryPoints) {
    std::string cmd = "nm -D --defined-only " + ModulePath() + " | awk '{print $3}'";
    FILE *pipe = popen(cmd.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> symbols;
    char line[512];
    while (fgets(line, sizeof(line), pipe)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
        if (!s.empty()) symbols.insert(s);
    }
    ASSERT_EQ(pclose(pipe), 0);
    std::set<std::string> expected = {"KORAL_PLUGIN", "mrcp_plugin_create", "mrcp_plugin_version",
                                      "mrcp_plugin_logger_set", "mrcp_plugin_log_source_set"};
    EXPECT_EQ(symbols, expected);

    KoralTest::AprPool apr;
    apr_pool_t *pool = apr.get();
    void *module = dlopen(ModulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();

    auto *version = static_cast<mrcp_plugin_version_t *>(dlsym(module, "mrcp_plugin_version"));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->major, 1u);
    EXPECT_EQ(version->minor, 6u);
    EXPECT_EQ(version->patch, 0u);

    auto set_source = reinterpret_cast<mrcp_plugin_log_source_set_f>(
        dlsym(module, MRCP_PLUGIN_LOG_SOURCE_SYM_NAME));
    ASSERT_NE(set_source, nullptr);
    EXPECT_TRUE(set_source(apt_def_log_source_get()));
    auto **source = static_cast<apt_log_source_t **>(dlsym(module, "KORAL_PLUGIN"));
    ASSERT_NE(source, nullptr);
    EXPECT_STREQ(apt_log_source_name_get(*source), "KORAL-PLUGIN");

    auto create =
        reinterpret_cast<mrcp_plugin_creator_f>(dlsym(module, MRCP_PLUGIN_ENGINE_SYM_NAME));
    ASSERT_NE(create, nullptr);
    KoralTest::LogCapture log;
    mrcp_engine_t *engine = create(pool);
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(engine->resource_id, static_cast<mrcp_resource_id>(MRCP_RECOGNIZER_RESOURCE));
    EXPECT_EQ(create(pool), nullptr);
    // Logged on every call, before the check.
    EXPECT_EQ(log.Count("KORAL Plugin Version [1.8.0] Date [2019-06-07]"), 2u);
    EXPECT_TRUE(engine->method_vtable->destroy(engine));

    dlclose(module);
}

}  // namespace
