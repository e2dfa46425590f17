// Directory layout: one path per entry, and file paths joined under them.
#include "apt_dir_layout.h"

#include <apr_file_info.h>
#include <apr_file_io.h>

struct apt_dir_layout_t {
    const char *paths[APT_LAYOUT_DIR_COUNT];
};

extern "C" {

APT_DECLARE(apt_dir_layout_t *) apt_dir_layout_create(apr_pool_t *pool) {
    if (!pool) return nullptr;
    return static_cast<apt_dir_layout_t *>(apr_pcalloc(pool, sizeof(apt_dir_layout_t)));
}

APT_DECLARE(apt_dir_layout_t *)
apt_default_dir_layout_create(const char *root_dir, apr_pool_t *pool) {
    apt_dir_layout_t *layout = apt_dir_layout_create(pool);
    if (!layout || !root_dir || !*root_dir) return layout;
    static const char *const kNames[APT_LAYOUT_DIR_COUNT] = {"conf", "plugin", "log", "data",
                                                             "var"};
    for (int i = 0; i < APT_LAYOUT_DIR_COUNT; ++i) {
        char *path = nullptr;
        if (apr_filepath_merge(&path, root_dir, kNames[i], APR_FILEPATH_NATIVE, pool) ==
            APR_SUCCESS)
            layout->paths[i] = path;
    }
    return layout;
}

APT_DECLARE(apt_bool_t)
apt_dir_layout_path_set(apt_dir_layout_t *layout, apr_size_t entry_id, const char *path,
                        apr_pool_t *pool) {
    if (!layout || entry_id >= APT_LAYOUT_DIR_COUNT || !path || !pool) return FALSE;
    layout->paths[entry_id] = apr_pstrdup(pool, path);
    return TRUE;
}

APT_DECLARE(const char *)
apt_dir_layout_path_get(const apt_dir_layout_t *layout, apr_size_t entry_id) {
    if (!layout || entry_id >= APT_LAYOUT_DIR_COUNT) return nullptr;
    return layout->paths[entry_id];
}

APT_DECLARE(char *)
apt_dir_layout_filepath_get(const apt_dir_layout_t *layout, apr_size_t entry_id,
                            const char *file_name, apr_pool_t *pool) {
    const char *dir = apt_dir_layout_path_get(layout, entry_id);
    if (!dir || !file_name || !*file_name || !pool) return nullptr;
    char *path = nullptr;
    if (apr_filepath_merge(&path, dir, file_name, APR_FILEPATH_NATIVE, pool) != APR_SUCCESS)
        return nullptr;
    return path;
}

APT_DECLARE(char *)
apt_confdir_filepath_get(const apt_dir_layout_t *layout, const char *file_name, apr_pool_t *pool) {
    return apt_dir_layout_filepath_get(layout, APT_LAYOUT_CONF_DIR, file_name, pool);
}

APT_DECLARE(char *)
apt_datadir_filepath_get(const apt_dir_layout_t *layout, const char *file_name, apr_pool_t *pool) {
    return apt_dir_layout_filepath_get(layout, APT_LAYOUT_DATA_DIR, file_name, pool);
}

APT_DECLARE(char *)
apt_vardir_filepath_get(const apt_dir_layout_t *layout, const char *file_name, apr_pool_t *pool) {
    return apt_dir_layout_filepath_get(layout, APT_LAYOUT_VAR_DIR, file_name, pool);
}

APT_DECLARE(apt_bool_t)
apt_dir_layout_dirs_create(const apt_dir_layout_t *layout, apr_pool_t *pool) {
    if (!layout || !pool) return FALSE;
    apt_bool_t ok = TRUE;
    for (int i = 0; i < APT_LAYOUT_DIR_COUNT; ++i) {
        if (!layout->paths[i]) continue;
        if (apr_dir_make_recursive(layout->paths[i], APR_FPROT_OS_DEFAULT, pool) != APR_SUCCESS)
            ok = FALSE;
    }
    return ok;
}

}  // extern "C"
