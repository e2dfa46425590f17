// A private temporary folder, removed with everything in it on destruction.
#pragma once

#include <string>

namespace KoralTest {

class TempDir {
  public:
    // Made under $TMPDIR (or /tmp); Path() is empty if that failed.
    explicit TempDir(const std::string &prefix = "koral-test");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &Path() const { return m_Path; }
    std::string File(const std::string &name) const { return m_Path + "/" + name; }

  private:
    std::string m_Path;
};

// Writes `text` to `path`; false on failure.
bool WriteTextFile(const std::string &path, const std::string &text);
// Reads a whole file; false if it cannot be read.
bool ReadTextFile(const std::string &path, std::string &text);

// Changes the status of `path` until its status-change time (which no call
// can set) is later than that of `earlier`, to the microsecond: at once on
// file systems with finer times, within a second on those with seconds.
// False if either file cannot be read or the time does not move.
bool ChangedAfter(const std::string &path, const std::string &earlier);

}  // namespace KoralTest
