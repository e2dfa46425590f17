/* Directory layout of the server: where configuration, plugins, logs, data and
 * variable files live. */
#pragma once

#include "apt.h"

APT_BEGIN_EXTERN_C

typedef enum {
    APT_LAYOUT_CONF_DIR = 0,
    APT_LAYOUT_PLUGIN_DIR = 1,
    APT_LAYOUT_LOG_DIR = 2,
    APT_LAYOUT_DATA_DIR = 3,
    APT_LAYOUT_VAR_DIR = 4,
    APT_LAYOUT_DIR_COUNT
} apt_dir_entry_id;

typedef struct apt_dir_layout_t apt_dir_layout_t;

/* A layout with no entries set. */
APT_DECLARE(apt_dir_layout_t *) apt_dir_layout_create(apr_pool_t *pool);
/* A layout whose entries are conf/, plugin/, log/, data/ and var/ under root_dir. */
APT_DECLARE(apt_dir_layout_t *)
apt_default_dir_layout_create(const char *root_dir, apr_pool_t *pool);
/* Sets one entry to a copy of path; FALSE for an unknown entry or a null path. */
APT_DECLARE(apt_bool_t)
apt_dir_layout_path_set(apt_dir_layout_t *layout, apr_size_t entry_id, const char *path,
                        apr_pool_t *pool);
/* The entry's path, or NULL when the layout is null, the entry unknown or unset. */
APT_DECLARE(const char *)
apt_dir_layout_path_get(const apt_dir_layout_t *layout, apr_size_t entry_id);
/* file_name joined to the entry's path (a file_name that is an absolute path is kept
 * as it is), from the pool; NULL when the entry is unset or file_name null or empty. */
APT_DECLARE(char *)
apt_dir_layout_filepath_get(const apt_dir_layout_t *layout, apr_size_t entry_id,
                            const char *file_name, apr_pool_t *pool);
/* Shorthands of apt_dir_layout_filepath_get for the conf, data and var entries. */
APT_DECLARE(char *)
apt_confdir_filepath_get(const apt_dir_layout_t *layout, const char *file_name, apr_pool_t *pool);
APT_DECLARE(char *)
apt_datadir_filepath_get(const apt_dir_layout_t *layout, const char *file_name, apr_pool_t *pool);
APT_DECLARE(char *)
apt_vardir_filepath_get(const apt_dir_layout_t *layout, const char *file_name, apr_pool_t *pool);
/* Creates every set entry's directory (and its parents) that does not exist yet. */
APT_DECLARE(apt_bool_t)
apt_dir_layout_dirs_create(const apt_dir_layout_t *layout, apr_pool_t *pool);

APT_END_EXTERN_C
