#include "KoralTest/TempDir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace KoralTest {

TempDir::TempDir(const std::string &prefix) {
    const char *base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) != nullptr) m_Path = buf.data();
}

TempDir::~TempDir() {
    std::error_code ignored;  // links are removed, never followed
    if (!m_Path.empty()) std::filesystem::remove_all(m_Path, ignored);
}

bool WriteTextFile(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

bool ReadTextFile(const std::string &path, std::string &text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return true;
}

namespace {
bool ChangeTimeUs(const std::string &path, long long &us) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    us = static_cast<long long>(st.st_ctim.tv_sec) * 1000000 + st.st_ctim.tv_nsec / 1000;
    return true;
}
}  // namespace

bool ChangedAfter(const std::string &path, const std::string &earlier) {
    long long before = 0, now = 0;
    if (!ChangeTimeUs(earlier, before)) return false;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (ChangeTimeUs(path, now) && now <= before) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        // A change of mode back to itself is a status change.
        if (::chmod(path.c_str(), st.st_mode & 07777) != 0) return false;
        std::this_thread::yield();
    }
    return now > before;
}

}  // namespace KoralTest
