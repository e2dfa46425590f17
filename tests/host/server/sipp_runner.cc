#include "sipp_runner.h"

#include "KoralTest/Process.h"
#include "KoralTest/TempDir.h"
#include "KoralTest/TestPaths.h"

namespace KoralTest {

::testing::AssertionResult RunSipp(unsigned sip_port, const std::string &scenario,
                                   const SippRun &run) {
    KoralTest::TempDir dir("vantor-sipp");
    std::string xml;
    if (!KoralTest::ReadTextFile(
            KoralTest::SourceDir() + "/tests/host/server/sipp/" + scenario + ".xml", xml))
        return ::testing::AssertionFailure() << "no scenario " << scenario;
    for (const auto &value : run.values) {
        const std::string key = "@" + value.first + "@";
        for (size_t at = xml.find(key); at != std::string::npos; at = xml.find(key, at))
            xml.replace(at, key.size(), value.second);
    }
    const std::string file = dir.File(scenario + ".xml");
    const std::string errors = dir.File("errors.log");
    if (!KoralTest::WriteTextFile(file, xml))
        return ::testing::AssertionFailure() << "cannot write " << file;
    std::vector<std::string> args = {"sipp",
                                     "-sf",
                                     file,
                                     "-i",
                                     "127.0.0.1",
                                     "-mi",
                                     "127.0.0.1",
                                     "-t",
                                     run.transport,
                                     "-m",
                                     std::to_string(run.calls),
                                     "-l",
                                     std::to_string(run.calls),
                                     "-nostdin",
                                     "-timeout",
                                     "60",
                                     "-timeout_error",
                                     "-trace_err",
                                     "-error_file",
                                     errors};
    if (run.rate) args.insert(args.end(), {"-r", std::to_string(run.rate)});
    args.push_back("127.0.0.1:" + std::to_string(sip_port));
    std::string error;
    if (KoralTest::RunProgram(args, &error)) return ::testing::AssertionSuccess();
    std::string log;
    KoralTest::ReadTextFile(errors, log);
    return ::testing::AssertionFailure()
           << scenario << " over " << run.transport << ": " << error << "\n"
           << log.substr(0, 3000);
}

}  // namespace KoralTest
