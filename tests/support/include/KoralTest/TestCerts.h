// A throwaway certificate authority and a server certificate for 127.0.0.1
// and localhost, made with scripts/make-test-certs in a temporary folder that
// is removed on destruction. Making them takes a fraction of a second: share
// one set per test suite. `mismatched` adds the certificates a client must
// refuse: another CA, and a certificate of the CA for the name other.test.
#pragma once

#include <memory>
#include <string>

#include "KoralTest/TempDir.h"

namespace KoralTest {

class TestCerts {
  public:
    // Null (with `error` set) if the script failed.
    static std::unique_ptr<TestCerts> Make(std::string *error = nullptr, bool mismatched = false);

    std::string CaFile() const { return m_Dir.File("ca.crt"); }
    std::string CertFile() const { return m_Dir.File("server.crt"); }
    std::string KeyFile() const { return m_Dir.File("server.key"); }
    std::string OtherCaFile() const { return m_Dir.File("other-ca.crt"); }
    std::string WrongNameCertFile() const { return m_Dir.File("wrong-name.crt"); }
    std::string WrongNameKeyFile() const { return m_Dir.File("wrong-name.key"); }
    const std::string &Dir() const { return m_Dir.Path(); }

  private:
    TestCerts() : m_Dir("koral-certs") {}
    TempDir m_Dir;
};

}  // namespace KoralTest
