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

}  // namespace KoralTest
