// SIPp run against a test's vantor-server: a scenario of sipp/ (with @NAME@
// placeholders filled in by the test) played as a separate sipp process that
// must end with every call successful.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace KoralTest {

struct SippRun {
    std::string transport = "u1";  // sipp -t: u1 (UDP) or t1 (TCP)
    unsigned calls = 1;            // -m, and as many at once (-l)
    unsigned rate = 0;             // new calls per second (0: sipp's default)
    // Text put in place of @NAME@ in the scenario.
    std::map<std::string, std::string> values;
};

// Runs sipp/<scenario>.xml against the server's SIP port; the reason (with
// sipp's error log) when a call failed.
::testing::AssertionResult RunSipp(unsigned sip_port, const std::string &scenario,
                                   const SippRun &run = SippRun());

}  // namespace KoralTest
