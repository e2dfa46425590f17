// The configuration document koralrx.xml, loaded by an engine as its open
// does: read from the configuration folder, parsed, every element applied
// over the defaults, paths resolved against the layout's folders and the
// subscription key file found. The engine is only constructed, never
// started. Whatever the document holds, loading ends in an answer, and a
// loaded configuration holds resolved paths and usable phrase lists.
#include <apr_file_io.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzCommon.h"
#include "KoralRxEngine.h"
#include "KoralRxSpeechContext.h"
#include "apt_dir_layout.h"
#include "grammar/FuzzSupport.h"

namespace {

using namespace KORAL;

// conf/, var/ and data/ (with one key file) in a folder of this process.
struct Folders {
    std::string root;
    apt_dir_layout_t *layout = nullptr;
    std::string config_path;

    Folders() {
        char name[] = "/tmp/koral-fuzz-config.XXXXXX";
        if (!mkdtemp(name)) abort();
        root = name;
        apr_pool_t *pool = fuzz::RootPool();
        layout = apt_dir_layout_create(pool);
        const std::string conf = root + "/conf", var = root + "/var", data = root + "/data";
        apt_dir_layout_path_set(layout, APT_LAYOUT_CONF_DIR, conf.c_str(), pool);
        apt_dir_layout_path_set(layout, APT_LAYOUT_VAR_DIR, var.c_str(), pool);
        apt_dir_layout_path_set(layout, APT_LAYOUT_DATA_DIR, data.c_str(), pool);
        if (!apt_dir_layout_dirs_create(layout, pool)) abort();
        config_path = conf + "/koralrx.xml";
        FILE *key = fopen((data + "/koralrx-key.txt").c_str(), "w");
        if (!key) abort();
        fputs("0123456789abcdef\n", key);
        fclose(key);
    }
    ~Folders() {
        unlink(config_path.c_str());
        unlink((root + "/data/koralrx-key.txt").c_str());
        for (const char *dir : {"/conf", "/var", "/data", ""}) rmdir((root + dir).c_str());
    }
};

Folders &TheFolders() {
    static Folders folders;
    return folders;
}

bool IsAbsolute(const std::string &path) { return !path.empty() && path[0] == '/'; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::RootPool();
    TheFolders();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Folders &folders = TheFolders();
    FILE *file = fopen(folders.config_path.c_str(), "wb");
    if (!file) abort();
    if (size && fwrite(data, 1, size, file) != size) abort();
    fclose(file);

    fuzz::InputPool pool;
    Engine engine("fuzz");
    if (!engine.LoadConfig("koralrx.xml", "koralrx", folders.layout, pool.get())) return 0;

    KORAL_FUZZ_CHECK(IsAbsolute(engine.GetSubscriptionKeyFile()));
    KORAL_FUZZ_CHECK(IsAbsolute(engine.GetUtteranceSettings().waveform_folder));
    KORAL_FUZZ_CHECK(IsAbsolute(engine.GetRdrSettings().record_folder));
    const StreamingRecogSettings &streaming = engine.GetStreamingSettings();
    KORAL_FUZZ_CHECK(streaming.tls_ca_file.empty() || IsAbsolute(streaming.tls_ca_file));
    for (const auto &entry : engine.GetSpeechContexts()) {
        KORAL_FUZZ_CHECK(entry.second && entry.first == entry.second->name);
        fuzz::CheckContext(*entry.second);
    }
    return 0;
}
