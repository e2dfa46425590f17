#include "KoralRxFileSearch.h"

#include <apr_file_info.h>
#include <apr_fnmatch.h>

namespace KORAL {

bool IsRelativePath(const std::string &path, apr_pool_t *pool) {
    if (path.empty()) return true;
    const char *root = nullptr;
    const char *rest = path.c_str();
    return apr_filepath_root(&root, &rest, 0, pool) == APR_ERELATIVE;
}

namespace {

bool ResolvePath(std::string &path, const std::string &base, apr_pool_t *pool) {
    if (!IsRelativePath(path, pool)) return true;
    char *merged = nullptr;
    if (apr_filepath_merge(&merged, base.c_str(), path.c_str(), APR_FILEPATH_NATIVE, pool) !=
        APR_SUCCESS)
        return false;
    path = merged;
    return true;
}

}  // namespace

bool CheckDirPath(std::string &path, const std::string &base, apr_pool_t *pool) {
    return ResolvePath(path, base, pool);
}

bool CheckFilePath(std::string &path, const std::string &base, apr_pool_t *pool) {
    return ResolvePath(path, base, pool);
}

namespace {

apr_filetype_e FileType(const std::string &path, apr_pool_t *pool) {
    apr_finfo_t finfo;
    if (apr_stat(&finfo, path.c_str(), APR_FINFO_TYPE, pool) != APR_SUCCESS) return APR_NOFILE;
    return finfo.filetype;
}

}  // namespace

bool IsRegularFile(const std::string &path, apr_pool_t *pool) {
    return FileType(path, pool) == APR_REG;
}

bool IsDirectory(const std::string &path, apr_pool_t *pool) {
    return FileType(path, pool) == APR_DIR;
}

bool file_search(std::string &result, const std::string &pattern, apr_pool_t *pool) {
    std::string dir = ".";
    std::string name = pattern;
    size_t slash = pattern.rfind('/');
    if (slash == std::string::npos) slash = pattern.rfind('\\');
    if (slash != std::string::npos) {
        dir = pattern.substr(0, slash);
        name = pattern.substr(slash + 1);
        if (dir.empty()) dir = "/";
    }

    apr_pool_t *scratch = nullptr;
    if (apr_pool_create(&scratch, pool) != APR_SUCCESS) return false;
    apr_dir_t *handle = nullptr;
    if (apr_dir_open(&handle, dir.c_str(), scratch) != APR_SUCCESS) {
        apr_pool_destroy(scratch);
        return false;
    }

    std::string best;
    apr_time_t best_ctime = 0;
    bool found = false;
    apr_finfo_t finfo;
    const apr_int32_t wanted = APR_FINFO_NAME | APR_FINFO_TYPE | APR_FINFO_CTIME;
    for (;;) {
        apr_status_t rv = apr_dir_read(&finfo, wanted, handle);
        if (rv != APR_SUCCESS && rv != APR_INCOMPLETE) break;
        if (!(finfo.valid & APR_FINFO_NAME) || !(finfo.valid & APR_FINFO_TYPE)) continue;
        if (finfo.filetype != APR_REG || apr_fnmatch(name.c_str(), finfo.name, 0) != APR_SUCCESS)
            continue;
        apr_time_t ctime = (finfo.valid & APR_FINFO_CTIME) ? finfo.ctime : 0;
        if (!found || ctime > best_ctime) {
            best = finfo.name;
            best_ctime = ctime;
            found = true;
        }
    }
    apr_dir_close(handle);

    if (found) {
        char *merged = nullptr;
        if (apr_filepath_merge(&merged, dir.c_str(), best.c_str(), APR_FILEPATH_NATIVE, scratch) ==
            APR_SUCCESS)
            result = merged;
        else
            found = false;
    }
    apr_pool_destroy(scratch);
    return found;
}

}  // namespace KORAL
