// What the two record folders (utterance recordings and recognition
// records) share: their limits applied to a file manager, file names made
// from a format, and paths joined with APR's rules.
#pragma once

#include <apr_file_info.h>

#include <string>

#include "OmbraFileManager.h"

namespace KORAL {

// Directory, file pattern, purge flag and both limits of `manager`; an age
// or count of 0 or less means no limit.
void ApplyRecordFolderLimits(Ombra::FileManager &manager, const std::string &folder,
                             const std::string &file_prefix, const std::string &file_ext,
                             bool purge_existing, long max_file_age, long max_file_count);

// The same from either settings block (UtteranceSettings, RdrSettings).
template <class Settings>
void ApplyRecordFolderLimits(Ombra::FileManager &manager, const std::string &folder,
                             const Settings &settings) {
    ApplyRecordFolderLimits(manager, folder, settings.file_prefix, settings.file_ext,
                            settings.purge_existing, settings.max_file_age,
                            settings.max_file_count);
}

// printf into `text`; false if formatting fails.
bool FormatText(std::string &text, const char *format, ...) __attribute__((format(printf, 2, 3)));

// `base` joined with `name` by apr_filepath_merge with `flags`; false when
// APR refuses them.
bool MergeFilePath(std::string &path, const std::string &base, const std::string &name,
                   apr_int32_t flags);

}  // namespace KORAL
