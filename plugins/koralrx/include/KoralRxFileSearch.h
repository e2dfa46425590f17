// Path resolution against the host's directories, and wildcard file search.
#pragma once

#include <apr_pools.h>

#include <string>

namespace KORAL {

// A path is relative when APR's root analysis says so; an empty path is relative.
bool IsRelativePath(const std::string &path, apr_pool_t *pool);

// A relative path is merged onto `base` (APR native merge) and replaced by the
// result; an absolute one stays. False only when the merge fails.
bool CheckDirPath(std::string &path, const std::string &base, apr_pool_t *pool);
bool CheckFilePath(std::string &path, const std::string &base, apr_pool_t *pool);

// Finds the regular file matching the wildcard pattern "dir/name-pattern"
// with the latest status-change time (the first read on equal times).
bool file_search(std::string &result, const std::string &pattern, apr_pool_t *pool);

// True when the path names an existing regular file.
bool IsRegularFile(const std::string &path, apr_pool_t *pool);
// True when the path names an existing folder.
bool IsDirectory(const std::string &path, apr_pool_t *pool);

}  // namespace KORAL
