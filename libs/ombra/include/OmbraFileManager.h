// Keeps one directory of generated files within a file count and a file age:
// learns of existing files by one scan, of new files from its owner, and
// deletes files over the limits. Runs entirely on its timer processor's thread.
#pragma once

#include <apr_time.h>

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "OmbraLogFacility.h"
#include "OmbraTimer.h"

namespace Ombra {

class AsyncEventTimerProcessor;

// Deletes a file; true on success.
bool RemoveFile(const std::string &path);

class FileManager : public TimerHandler {
  public:
    struct FileEntry {
        std::string name;  // relative to the directory
        apr_time_t time;   // status-change or completion time, microseconds
        Timer *timer;      // expiration timer, null when none
    };
    // Oldest first; files with equal times are told apart by name, so that
    // none goes unmanaged.
    struct FileEntryComparator {
        bool operator()(const FileEntry *a, const FileEntry *b) const {
            if (a->time != b->time) return a->time < b->time;
            return a->name < b->name;
        }
    };
    // Time sources; tests replace them to age files without waiting.
    using NowFunc = std::function<apr_time_t()>;
    using FileTimeFunc = std::function<apr_time_t(const std::string &path, apr_time_t ctime)>;

    // The facility is the owner's; it may be constructed after this base.
    explicit FileManager(LogFacility *facility);
    // Forgets every entry (files stay on disk).
    ~FileManager() override;

    void OnTimerStopped(Timer *timer) override {}
    // An expiration timer fired: deletes its file.
    void OnTimeoutElapsed(Timer *timer) override;
    // Creates the directory if needed and scans it; false if it cannot be
    // created.
    virtual bool LoadFileEntries();
    // Forgets all entries and stops their timers; deletes no file.
    virtual void DestroyFileEntries();
    // Reports a finished file; applies the count limit and starts its
    // expiration timer. A name already held is replaced.
    virtual bool AddFileEntry(const std::string &name, apr_time_t time);
    // Deletes a managed file now; false if no entry has that name.
    virtual bool RemoveFileEntry(const std::string &name);

    // Stores the path, ending it with "/".
    void SetDirectory(const std::string &path);
    const std::string &GetDirectory() const { return m_Directory; }
    void SetPurgeExisting(bool purge) { m_PurgeExisting = purge; }
    void SetMaxFileCount(uint64_t count) { m_MaxFileCount = count; }  // 0: no limit
    void SetMaxFileAge(uint64_t minutes) { m_MaxFileAge = minutes; }  // 0: no limit
    void SetFilePrefix(const std::string &prefix) { m_FilePrefix = prefix; }
    void SetFileExtension(const std::string &extension) { m_FileExtension = extension; }
    void SetTimerProcessor(AsyncEventTimerProcessor *processor) { m_pTimerProcessor = processor; }
    void SetTimeSources(NowFunc now, FileTimeFunc fileTime);

    size_t GetFileCount() const { return m_FileEntries.size(); }
    const std::set<FileEntry *, FileEntryComparator> &GetFileEntries() const {
        return m_FileEntries;
    }

  protected:
    LogFacility *m_pFacility;
    std::string m_Directory;
    bool m_PurgeExisting;
    uint64_t m_MaxFileCount;
    uint64_t m_MaxFileAge;  // minutes
    std::string m_FilePrefix;
    std::string m_FileExtension;
    AsyncEventTimerProcessor *m_pTimerProcessor;
    std::map<Timer *, FileEntry *> m_ExpirationTimers;
    std::set<FileEntry *, FileEntryComparator> m_FileEntries;

  private:
    FileManager(const FileManager &) = delete;
    FileManager &operator=(const FileManager &) = delete;

    void PopulateFileEntries();
    // Drops the oldest entries over the limit; true if watch was among them.
    bool CheckMaxFileCount(const FileEntry *watch);
    bool RemoveManagedFile(const std::string &name);
    void StartExpirationTimer(FileEntry *entry, int64_t timeoutMs);
    void StopExpirationTimer(FileEntry *entry);
    FileEntry *FindEntry(const std::string &name) const;
    void DropEntry(FileEntry *entry);
    int64_t GetMaxFileAgeUsec() const;

    NowFunc m_Now;
    FileTimeFunc m_FileTime;
};

}  // namespace Ombra
