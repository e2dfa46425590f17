// DEFINE-GRAMMAR on a channel, through the host.
#include "PluginFixture.h"

using namespace KoralTest;

namespace {

class DefineGrammarTest : public PluginFixture {
  protected:
    // The response line of a request in the JSON exchange.
    static std::string Response(const std::string &out, int id) {
        for (const char *form : {"\"request_id\": ", "\"request_id\":"}) {
            std::string needle = std::string(form) + std::to_string(id) + ",";
            size_t pos = out.find(needle);
            if (pos == std::string::npos) continue;
            size_t start = out.rfind('\n', pos);
            start = start == std::string::npos ? 0 : start + 1;
            return out.substr(start, out.find('\n', pos) - start);
        }
        return std::string();
    }
    static bool Has(const std::string &text, const std::string &part) {
        return text.find(part) != std::string::npos;
    }
    static bool HasStatus(const std::string &line, int status) {
        return Has(line, "\"status\": " + std::to_string(status)) ||
               Has(line, "\"status\":" + std::to_string(status));
    }
};

const char kContext[] =
    "Content-Type: application/xml\nContent-Id: menu\n\n"
    "<speech-context><phrase>Billing</phrase><phrase tag=\"agent\">operator</phrase>"
    "</speech-context>\n.\n";

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
        "close a\n";
    HostRun run = Run(session, "--json");
    ASSERT_EQ(run.status, 0) << run.out << run.log;
    EXPECT_TRUE(HasStatus(Response(run.out, 1), 200)) << run.out;
    EXPECT_TRUE(HasStatus(Response(run.out, 2), 200)) << run.out;
    EXPECT_TRUE(Has(run.log, "Remove Existing Speech Context [menu]")) << run.log;
    EXPECT_TRUE(HasStatus(Response(run.out, 3), 200)) << run.out;
    std::string again = Response(run.out, 4);
    EXPECT_TRUE(HasStatus(again, 406)) << again;
    EXPECT_TRUE(Has(again, "Completion-Cause")) << again;
    EXPECT_TRUE(Has(run.log, "Non-Existent Content-Id [menu]"));
    EXPECT_TRUE(HasStatus(Response(run.out, 5), 406)) << run.out;  // no Content-Id
    EXPECT_TRUE(Has(run.log, "Missing Content-Id <"));
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
    EXPECT_TRUE(HasStatus(Response(run.out, 1), 409)) << run.out;  // no phrase
    EXPECT_TRUE(HasStatus(Response(run.out, 2), 409)) << run.out;  // SRGS not accepted
    EXPECT_TRUE(Has(run.log, "Unsupported Content Type [application/srgs+xml]"));
    EXPECT_TRUE(HasStatus(Response(run.out, 3), 409)) << run.out;  // malformed XML
}

TEST_F(DefineGrammarTest, UnsupportedTypeIsSkippedByDefault) {
    WriteConfig("");
    HostRun run =
        Run("channel a\nsend a DEFINE-GRAMMAR 1\nContent-Type: text/plain\n"
            "Content-Id: x\n\nhello\n.\nwait a response 1\nclose a\n",
            "--json");
    ASSERT_EQ(run.status, 0) << run.out << run.log;
    EXPECT_TRUE(HasStatus(Response(run.out, 1), 200)) << run.out;
    EXPECT_TRUE(Has(run.log, "Unsupported Content Type [text/plain]"));
}

}  // namespace
