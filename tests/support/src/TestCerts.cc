#include "KoralTest/TestCerts.h"

#include <vector>

#include "KoralTest/Process.h"
#include "KoralTest/TestPaths.h"

namespace KoralTest {

std::unique_ptr<TestCerts> TestCerts::Make(std::string *error, bool mismatched) {
    std::unique_ptr<TestCerts> certs(new TestCerts());
    if (certs->Dir().empty()) {
        if (error != nullptr) *error = "cannot make a temporary folder";
        return nullptr;
    }
    std::vector<std::string> argv = {SourceDir() + "/scripts/make-test-certs", certs->Dir()};
    if (mismatched) argv.push_back("--mismatched");
    if (!RunProgram(argv, error)) return nullptr;
    return certs;
}

}  // namespace KoralTest
