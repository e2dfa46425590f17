// DEFINE-GRAMMAR on a channel, through the host.
#include "PluginFixture.h"

using namespace KoralTest;

namespace {

class DefineGrammarTest : public PluginFixture {};

const char kContext[] =
    "Content-Type: application/xml\nContent-Id: menu\n\n"
    "<speech-context><phrase>Billing</phrase><phrase tag=\"agent\">operator</phrase>"
    "</speech-context>\n.\n";

// Define, replace, remove, remove again, no Content-Id; a type that is not
// supported is skipped by default.
TEST_F(DefineGrammarTest, DefineReplaceRemoveAndRemoveAgain) {
    WriteConfig("");
    std::string session =
        "channel a\n"
        "send a DEFINE-GRAMMAR 1\n" +
        std::string(kContext) +
        "wait a response 1\n"
        "send a DEFINE-GRAMMAR 2\n" +
        std::string(kContext) +
        "wait a response 2\n"
        "send a DEFINE-GRAMMAR 3\nContent-Id: menu\n.\nwait a response 3\n"
        "send a DEFINE-GRAMMAR 4\nContent-Id: menu\n.\nwait a response 4\n"
        "send a DEFINE-GRAMMAR 5\nContent-Type: application/xml\n\n<x/>\n.\n"
        "wait a response 5\n"
        "send a DEFINE-GRAMMAR 6\nContent-Type: text/plain\nContent-Id: x\n\nhello\n.\n"
        "wait a response 6\n"
        "close a\n";
    HostRun run = Run(session, "--json");
    ASSERT_EQ(run.status, 0) << run.out << run.log;
    EXPECT_TRUE(HasStatus(ResponseLine(run.out, 1), 200)) << run.out;
    EXPECT_TRUE(HasStatus(ResponseLine(run.out, 2), 200)) << run.out;
    EXPECT_TRUE(Contains(run.log, "Remove Existing Speech Context [menu]")) << run.log;
    EXPECT_TRUE(HasStatus(ResponseLine(run.out, 3), 200)) << run.out;
    std::string again = ResponseLine(run.out, 4);
    EXPECT_TRUE(HasStatus(again, 406)) << again;
    EXPECT_TRUE(Contains(again, "Completion-Cause")) << again;
    EXPECT_TRUE(Contains(run.log, "Non-Existent Content-Id [menu]"));
    EXPECT_TRUE(HasStatus(ResponseLine(run.out, 5), 406)) << run.out;  // no Content-Id
    EXPECT_TRUE(Contains(run.log, "Missing Content-Id <"));
    EXPECT_TRUE(HasStatus(ResponseLine(run.out, 6), 200)) << run.out;
    EXPECT_TRUE(Contains(run.log, "Unsupported Content Type [text/plain]"));
}

TEST_F(DefineGrammarTest, RefusedDocumentsAndContentTypes) {
    WriteConfig(
        "<ws-streaming-recognition accept-srgs=\"false\" "
        "skip-unsupported-grammars=\"false\"/>");
    std::string session =
        "channel a\n"
        "send a DEFINE-GRAMMAR 1\nContent-Type: application/xml\nContent-Id: empty\n\n"
        "<speech-context></speech-context>\n.\nwait a response 1\n"
        "send a DEFINE-GRAMMAR 2\nContent-Type: application/srgs+xml\nContent-Id: g\n\n"
        "<grammar root=\"r\"><rule id=\"r\"><one-of><item>yes</item></one-of></rule></grammar>\n"
        ".\nwait a response 2\n"
        "send a DEFINE-GRAMMAR 3\nContent-Type: application/xml\nContent-Id: bad\n\n"
        "<speech-context><phrase>a</phrase>\n.\nwait a response 3\n"
        "close a\n";
    HostRun run = Run(session, "--json");
    ASSERT_EQ(run.status, 0) << run.out << run.log;
    EXPECT_TRUE(HasStatus(ResponseLine(run.out, 1), 409)) << run.out;  // no phrase
    EXPECT_TRUE(HasStatus(ResponseLine(run.out, 2), 409)) << run.out;  // SRGS not accepted
    EXPECT_TRUE(Contains(run.log, "Unsupported Content Type [application/srgs+xml]"));
    EXPECT_TRUE(HasStatus(ResponseLine(run.out, 3), 409)) << run.out;  // malformed XML
}

}  // namespace
