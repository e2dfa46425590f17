#include "OmbraFileManager.h"

#include <apr_file_info.h>
#include <apr_file_io.h>
#include <apr_fnmatch.h>
#include <apr_pools.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <limits>

#include "OmbraAsyncEventProcessor.h"

// File manager lines go through the owner's facility.
#define FM_LOG(level, ...)                                                                    \
    do {                                                                                      \
        if (m_pFacility) FacilityLog(*m_pFacility, 0, level, 0, OMBRA_LOG_MARK, __VA_ARGS__); \
    } while (0)

namespace Ombra {

namespace {

const int64_t kUsecPerMinute = int64_t{60} * 1000 * 1000;
// Ages beyond this many minutes (some 146,000 years) are treated alike, so
// that microsecond arithmetic cannot overflow.
const uint64_t kMaxAgeMinutes = std::numeric_limits<int64_t>::max() / kUsecPerMinute / 2;
// Newly created directories: the process's usual permissions (as umask allows),
// so that the owner can create files in them.
const apr_fileperms_t kDirectoryPerms = APR_FPROT_OS_DEFAULT;

// For the "%d" fields of the scan line.
int ToLogInt(uint64_t value) { return value > INT_MAX ? INT_MAX : static_cast<int>(value); }

}  // namespace

bool RemoveFile(const std::string &path) { return unlink(path.c_str()) == 0; }

FileManager::FileManager(LogFacility *facility)
    : m_pFacility(facility),
      m_PurgeExisting(false),
      m_MaxFileCount(100),
      m_MaxFileAge(0),
      m_pTimerProcessor(nullptr),
      m_Now(apr_time_now),
      m_FileTime([](const std::string &, apr_time_t ctime) { return ctime; }) {}

FileManager::~FileManager() { DestroyFileEntries(); }

void FileManager::SetDirectory(const std::string &path) {
    m_Directory = path;
    if (m_Directory.empty() || m_Directory.back() != '/') m_Directory += '/';
}

void FileManager::SetTimeSources(NowFunc now, FileTimeFunc fileTime) {
    if (now) m_Now = std::move(now);
    if (fileTime) m_FileTime = std::move(fileTime);
}

int64_t FileManager::GetMaxFileAgeUsec() const {
    return static_cast<int64_t>(std::min(m_MaxFileAge, kMaxAgeMinutes)) * kUsecPerMinute;
}

bool FileManager::LoadFileEntries() {
    apr_pool_t *pool = nullptr;
    if (apr_pool_create(&pool, nullptr) != APR_SUCCESS) return false;

    bool result = true;
    apr_finfo_t finfo;
    if (apr_stat(&finfo, m_Directory.c_str(), APR_FINFO_TYPE, pool) != APR_SUCCESS ||
        finfo.filetype != APR_DIR) {
        FM_LOG(LOG_LEVEL_INFO, "Create directory %s", m_Directory.c_str());
        // Creating a path that exists as something else reports success:
        // check that a directory is there now.
        if (apr_dir_make_recursive(m_Directory.c_str(), kDirectoryPerms, pool) != APR_SUCCESS ||
            apr_stat(&finfo, m_Directory.c_str(), APR_FINFO_TYPE, pool) != APR_SUCCESS ||
            finfo.filetype != APR_DIR) {
            FM_LOG(LOG_LEVEL_WARNING, "Failed to create directory %s", m_Directory.c_str());
            result = false;
        }
    }
    apr_pool_destroy(pool);

    if (result) PopulateFileEntries();
    return result;
}

void FileManager::PopulateFileEntries() {
    apr_pool_t *pool = nullptr;
    if (apr_pool_create(&pool, nullptr) != APR_SUCCESS) return;
    apr_dir_t *dir = nullptr;
    if (apr_dir_open(&dir, m_Directory.c_str(), pool) != APR_SUCCESS) {
        apr_pool_destroy(pool);
        return;
    }

    std::string pattern = m_FilePrefix + "*" + m_FileExtension;
    FM_LOG(LOG_LEVEL_NOTICE,
           "Populate files from %s pattern [%s] max-count [%d] max-age [%d min] "
           "purge-existing [%d]",
           m_Directory.c_str(), pattern.c_str(), ToLogInt(m_MaxFileCount), ToLogInt(m_MaxFileAge),
           m_PurgeExisting ? 1 : 0);

    const bool readTimes = m_MaxFileAge != 0 && !m_PurgeExisting;
    const int64_t maxAge = GetMaxFileAgeUsec();
    const apr_time_t now = readTimes ? m_Now() : 0;
    apr_int32_t wanted = APR_FINFO_NAME | APR_FINFO_TYPE | (readTimes ? APR_FINFO_CTIME : 0);

    apr_finfo_t finfo;
    apr_status_t rv;
    while ((rv = apr_dir_read(&finfo, wanted, dir)) == APR_SUCCESS || rv == APR_INCOMPLETE) {
        // Entries whose type is unknown are left alone, as are links.
        if (!(finfo.valid & APR_FINFO_NAME) || !(finfo.valid & APR_FINFO_TYPE) ||
            finfo.filetype != APR_REG)
            continue;
        if (apr_fnmatch(pattern.c_str(), finfo.name, 0) != APR_SUCCESS) continue;

        std::string name = finfo.name;
        if (FindEntry(name)) continue;  // managed already (a second scan)
        FM_LOG(LOG_LEVEL_DEBUG, "Found file %s", name.c_str());
        if (m_PurgeExisting) {
            FM_LOG(LOG_LEVEL_NOTICE, "Remove file %s [purge existing]", name.c_str());
            RemoveManagedFile(name);
            continue;
        }
        apr_time_t time = 0;
        if (readTimes) {
            // Undated files count as new rather than as expired.
            apr_time_t ctime = (finfo.valid & APR_FINFO_CTIME) ? finfo.ctime : now;
            time = m_FileTime(m_Directory + name, ctime);
            if (time + maxAge <= now) {
                FM_LOG(LOG_LEVEL_NOTICE, "Remove file %s [max file age]", name.c_str());
                RemoveManagedFile(name);
                continue;
            }
        }
        FileEntry *entry = new FileEntry{name, time, nullptr};
        if (!m_FileEntries.insert(entry).second) delete entry;
    }
    apr_dir_close(dir);
    apr_pool_destroy(pool);

    CheckMaxFileCount(nullptr);

    if (m_MaxFileAge == 0 || !m_pTimerProcessor) return;
    for (FileEntry *entry : m_FileEntries) {
        if (entry->timer) continue;
        int64_t remaining = maxAge + entry->time - now;
        FM_LOG(LOG_LEVEL_DEBUG, "Set expiration timer for file %s [%lu min]", entry->name.c_str(),
               static_cast<unsigned long>(remaining / kUsecPerMinute));
        StartExpirationTimer(entry, remaining / 1000);
    }
}

bool FileManager::CheckMaxFileCount(const FileEntry *watch) {
    bool watchDropped = false;
    if (m_MaxFileCount == 0) return false;
    while (m_FileEntries.size() > m_MaxFileCount) {
        FileEntry *entry = *m_FileEntries.begin();
        FM_LOG(LOG_LEVEL_NOTICE, "Remove file %s [max file count]", entry->name.c_str());
        StopExpirationTimer(entry);
        RemoveManagedFile(entry->name);
        if (entry == watch) watchDropped = true;
        DropEntry(entry);
    }
    return watchDropped;
}

bool FileManager::AddFileEntry(const std::string &name, apr_time_t time) {
    // The same file reported again: its old entry would expire it too early.
    FileEntry *previous = FindEntry(name);
    if (previous) {
        StopExpirationTimer(previous);
        DropEntry(previous);
    }

    FileEntry *entry = new FileEntry{name, time, nullptr};
    m_FileEntries.insert(entry);
    // The new file may itself be the oldest one over the limit.
    if (CheckMaxFileCount(entry)) return true;

    if (m_MaxFileAge != 0 && m_pTimerProcessor) {
        FM_LOG(LOG_LEVEL_DEBUG, "Set expiration timer for file %s [%lu min]", name.c_str(),
               static_cast<unsigned long>(m_MaxFileAge));
        StartExpirationTimer(entry, GetMaxFileAgeUsec() / 1000);
    }
    return true;
}

bool FileManager::RemoveFileEntry(const std::string &name) {
    FileEntry *entry = FindEntry(name);
    if (!entry) return false;
    StopExpirationTimer(entry);
    RemoveManagedFile(entry->name);
    DropEntry(entry);
    return true;
}

void FileManager::OnTimeoutElapsed(Timer *timer) {
    auto it = m_ExpirationTimers.find(timer);
    if (it == m_ExpirationTimers.end()) return;
    FileEntry *entry = it->second;
    entry->timer = nullptr;
    m_ExpirationTimers.erase(it);
    // A one-shot timer that fired is ours to delete, not the queue's.
    delete timer;
    FM_LOG(LOG_LEVEL_NOTICE, "Remove file %s [timed out]", entry->name.c_str());
    RemoveManagedFile(entry->name);
    DropEntry(entry);
}

void FileManager::DestroyFileEntries() {
    for (auto &record : m_ExpirationTimers) record.first->Stop();
    m_ExpirationTimers.clear();
    for (FileEntry *entry : m_FileEntries) delete entry;
    m_FileEntries.clear();
}

bool FileManager::RemoveManagedFile(const std::string &name) {
    return RemoveFile(m_Directory + name);
}

void FileManager::StartExpirationTimer(FileEntry *entry, int64_t timeoutMs) {
    // Below 1 ms a timer would never be queued, and the file never expire.
    if (timeoutMs < 1) timeoutMs = 1;
    Timer *timer = new Timer(this, timeoutMs, Timer::ONE_SHOT, Timer::AUTO_DELETE);
    timer->Start(m_pTimerProcessor);
    m_ExpirationTimers[timer] = entry;
    entry->timer = timer;
}

// The stopped timer is deleted by its queue.
void FileManager::StopExpirationTimer(FileEntry *entry) {
    if (!entry->timer) return;
    entry->timer->Stop();
    m_ExpirationTimers.erase(entry->timer);
    entry->timer = nullptr;
}

FileManager::FileEntry *FileManager::FindEntry(const std::string &name) const {
    for (FileEntry *entry : m_FileEntries) {
        if (entry->name == name) return entry;
    }
    return nullptr;
}

void FileManager::DropEntry(FileEntry *entry) {
    m_FileEntries.erase(entry);
    delete entry;
}

}  // namespace Ombra
