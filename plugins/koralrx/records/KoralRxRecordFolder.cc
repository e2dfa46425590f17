#include "KoralRxRecordFolder.h"

#include <apr_pools.h>

#include <cstdarg>
#include <cstdio>

namespace KORAL {

void ApplyRecordFolderLimits(Ombra::FileManager &manager, const std::string &folder,
                             const std::string &file_prefix, const std::string &file_ext,
                             bool purge_existing, long max_file_age, long max_file_count) {
    manager.SetDirectory(folder);
    manager.SetFilePrefix(file_prefix);
    manager.SetFileExtension(file_ext);
    manager.SetPurgeExisting(purge_existing);
    // A negative figure means no limit, as 0 does, rather than some 10^19.
    manager.SetMaxFileAge(max_file_age > 0 ? static_cast<uint64_t>(max_file_age) : 0);
    manager.SetMaxFileCount(max_file_count > 0 ? static_cast<uint64_t>(max_file_count) : 0);
}

bool FormatText(std::string &text, const char *format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    bool ok = length >= 0;
    if (ok) {
        std::string result(static_cast<size_t>(length) + 1, '\0');
        vsnprintf(&result[0], result.size(), format, again);
        result.resize(static_cast<size_t>(length));
        text = result;
    }
    va_end(again);
    return ok;
}

bool MergeFilePath(std::string &path, const std::string &base, const std::string &name,
                   apr_int32_t flags) {
    // A pool of its own: a channel composes paths for every recognition,
    // and its pool lives as long as the channel.
    apr_pool_t *pool = nullptr;
    if (apr_pool_create(&pool, nullptr) != APR_SUCCESS) return false;
    char *merged = nullptr;
    bool ok = apr_filepath_merge(&merged, base.c_str(), name.c_str(), flags, pool) == APR_SUCCESS;
    if (ok) path = merged;
    apr_pool_destroy(pool);
    return ok;
}

}  // namespace KORAL
