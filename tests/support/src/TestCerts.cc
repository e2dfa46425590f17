#include "KoralTest/TestCerts.h"

#include "KoralTest/Process.h"
#include "KoralTest/TestPaths.h"

namespace KoralTest {

std::unique_ptr<TestCerts> TestCerts::Make(std::string *error) {
    std::unique_ptr<TestCerts> certs(new TestCerts());
    if (certs->Dir().empty()) {
        if (error != nullptr) *error = "cannot make a temporary folder";
        return nullptr;
    }
    if (!RunProgram({SourceDir() + "/scripts/make-test-certs", certs->Dir()}, error))
        return nullptr;
    return certs;
}

}  // namespace KoralTest
