// The server directory layout the host hands to the engine, as a server lays
// it out: conf, log, data and var under a root, the writable ones created.
#pragma once

#include <string>

#include "apt_dir_layout.h"

namespace vantor {

// root: empty for the build tree's vantor-root. conf: the configuration
// directory; empty for <root>/conf, or the source tree's conf/ when that is
// missing. Every directory is logged.
apt_dir_layout_t *MakeHostLayout(const std::string &root, const std::string &conf,
                                 apr_pool_t *pool);

}  // namespace vantor
