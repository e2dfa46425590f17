#include "host_layout.h"

#include <apr_file_info.h>
#include <apr_file_io.h>

#include "apt_log.h"
#include "options.h"

namespace vantor {

namespace {

bool IsDir(const std::string &path, apr_pool_t *pool) {
    apr_finfo_t info;
    return apr_stat(&info, path.c_str(), APR_FINFO_TYPE, pool) == APR_SUCCESS &&
           info.filetype == APR_DIR;
}

}  // namespace

apt_dir_layout_t *MakeHostLayout(const std::string &root_dir, const std::string &conf_dir,
                                 apr_pool_t *pool) {
    std::string root = root_dir.empty() ? DefaultRootDir() : root_dir;
    apt_dir_layout_t *layout = apt_default_dir_layout_create(root.c_str(), pool);
    std::string conf = conf_dir;
    if (conf.empty() && !IsDir(apt_dir_layout_path_get(layout, APT_LAYOUT_CONF_DIR), pool) &&
        IsDir(SourceConfDir(), pool))
        conf = SourceConfDir();
    if (!conf.empty()) apt_dir_layout_path_set(layout, APT_LAYOUT_CONF_DIR, conf.c_str(), pool);
    // The server's writable directories exist before the engine starts.
    for (int entry : {APT_LAYOUT_LOG_DIR, APT_LAYOUT_DATA_DIR, APT_LAYOUT_VAR_DIR}) {
        const char *dir = apt_dir_layout_path_get(layout, entry);
        if (apr_dir_make_recursive(dir, APR_FPROT_OS_DEFAULT, pool) != APR_SUCCESS)
            apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING, "Cannot Create Directory %s", dir);
    }
    for (int entry = 0; entry < APT_LAYOUT_DIR_COUNT; ++entry)
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_INFO, "Directory Layout [%d] %s", entry,
                apt_dir_layout_path_get(layout, entry));
    return layout;
}

}  // namespace vantor
