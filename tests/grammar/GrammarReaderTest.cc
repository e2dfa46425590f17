// Grammar bodies as a channel receives them: XML documents, speech-context
// and SRGS documents, and uri-lists with their builtin and session lines.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "KoralRxGrammarReader.h"
#include "KoralRxGrammarXml.h"
#include "KoralTest/AprPool.h"
#include "KoralTest/LogCapture.h"

using namespace KORAL;
using KoralTest::LogCapture;

namespace {

// A log line a case writes: its text and priority.
struct Line {
    const char *m_Text = nullptr;
    int m_Priority = -1;
};
const int kWarn = APT_PRIO_WARNING, kDebug = APT_PRIO_DEBUG;

class GrammarReaderTest : public ::testing::Test {
  protected:
    GrammarReaderTest() {
        yesno.name = "yesno";
        yesno.configured = true;
        yesno.AddPhrase("yes", "");
        contexts["yesno"] = &yesno;
    }
    bool Parses(const std::string &text) {
        return ParseXmlDocument(text.data(), text.size(), pool.get()) != nullptr;
    }
    // Reads a speech-context (`srgs` false) or SRGS document into `grammar`.
    mrcp_status_code_e Read(const std::string &text, bool srgs) {
        grammar.reset();
        GrammarRef *out = nullptr;
        mrcp_status_code_e status =
            srgs
                ? ReadSrgsDocument(text.data(), text.size(), pool.get(), "g1", contexts,
                                   "transcribe", "ch1", out)
                : ReadSpeechContextDocument(text.data(), text.size(), pool.get(), "g1", "ch1", out);
        grammar.reset(out);
        EXPECT_EQ(status == MRCP_STATUS_CODE_SUCCESS, out != nullptr);
        return status;
    }

    KoralTest::AprPool pool;
    LogCapture log;
    SpeechContext yesno;
    SpeechContextMap contexts;
    std::unique_ptr<GrammarRef> grammar;
};

TEST_F(GrammarReaderTest, XmlDocumentsRefusedWhenEmptyMalformedHugeDeepOrExpanding) {
    EXPECT_FALSE(ParseXmlDocument(nullptr, 0, pool.get()));
    EXPECT_FALSE(Parses(""));
    EXPECT_TRUE(log.Has("XML Content Emtpy", APT_PRIO_WARNING));
    log.Clear();
    EXPECT_FALSE(Parses("<a>\n<b></a>"));
    std::vector<KoralTest::LogLine> lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "Failed to feed XML Content to Parser");
    EXPECT_EQ(lines[1].message,
              "XML Parser Error: XML parser error code: mismatched tag (7) [line 2, column 6]");
    EXPECT_EQ(lines[1].priority, APT_PRIO_WARNING);
    log.Clear();
    EXPECT_FALSE(Parses("<a><b>"));
    EXPECT_FALSE(Parses("   "));
    EXPECT_TRUE(log.Has("Failed to Terminate XML parsing", APT_PRIO_WARNING));
    EXPECT_TRUE(
        log.Has("XML Parser Error: XML parser error code: no element found (3) "
                "[line 1, column 4]",
                APT_PRIO_WARNING));
    EXPECT_FALSE(Parses("<p:a/>")) << "undeclared prefix";
    EXPECT_FALSE(Parses(std::string("<a>\0</a>", 8)));
    EXPECT_FALSE(Parses("<a x='1' x='2'/>"));
    EXPECT_TRUE(Parses("<?xml version='1.0' encoding='ISO-8859-1'?><a>\xE9</a>"));
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("<a>hi</a>")) utf16 += std::string{c, '\0'};
    apr_xml_doc *doc = ParseXmlDocument(utf16.data(), utf16.size(), pool.get());
    ASSERT_NE(doc, nullptr) << "UTF-16 with a byte order mark";
    std::string content;
    EXPECT_TRUE(XmlElemText(doc->root, content));
    EXPECT_EQ(content, "hi");

    std::string huge = "<a>" + std::string(kMaxXmlDocumentSize, 'x') + "</a>";
    EXPECT_FALSE(Parses(huge));
    EXPECT_TRUE(
        log.Has("XML Content Too Large [" + std::to_string(huge.size()) + "]", APT_PRIO_WARNING));
    auto nested = [](int depth) {
        std::string open, close;
        for (int i = 0; i < depth; ++i) open += "<a>", close += "</a>";
        return open + close;
    };
    EXPECT_TRUE(Parses(nested(100)));
    EXPECT_FALSE(Parses(nested(300))) << "the parser bounds the nesting";
    EXPECT_FALSE(Parses(nested(100000)));
    // Entities referring to entities: refused before any expansion.
    std::string entities = "<!DOCTYPE a [";
    for (int i = 0; i < 2000; ++i)
        entities += "<!ENTITY e" + std::to_string(i) + " '&e" + std::to_string(i + 1) + ";&e" +
                    std::to_string(i + 1) + ";'>";
    entities += "<!ENTITY e2000 'x'>]><a>&e0;</a>";
    EXPECT_FALSE(Parses(entities));
    EXPECT_FALSE(Parses("<!DOCTYPE a [<!ENTITY e 'x'>]><a>&e;</a>"));
    EXPECT_FALSE(Parses("<a>&undefined;</a>"));
}

TEST_F(GrammarReaderTest, SpeechContextDocuments) {
    ASSERT_EQ(Read("<speech-context id='ignored' scope='strict' language='es-ES'>"
                   "<phrase>Uno</phrase><phrase tag='2'>dos</phrase></speech-context>",
                   false),
              MRCP_STATUS_CODE_SUCCESS);
    EXPECT_EQ(grammar->id, "g1");
    EXPECT_EQ(grammar->name, "g1");
    EXPECT_EQ(grammar->category, GrammarRef::CATEGORY_SPEECH);
    EXPECT_EQ(grammar->ref_type, GrammarRef::REF_DEFINED);
    ASSERT_NE(grammar->speech_context, nullptr);
    EXPECT_EQ(grammar->speech_context->name, "g1");
    EXPECT_EQ(grammar->speech_context->language, "es-ES");
    EXPECT_TRUE(grammar->speech_context->speech_complete);
    EXPECT_FALSE(grammar->speech_context->configured);
    EXPECT_TRUE(log.Has("Parse Speech Context [g1] <ch1@koral>", APT_PRIO_DEBUG));
    EXPECT_TRUE(log.Has("Load Speech Context [g1] <ch1@koral>", APT_PRIO_DEBUG));
    // A disabled document context is still a grammar: enable only matters in the configuration.
    EXPECT_EQ(Read("<speech-context enable='false'><phrase>x</phrase></speech-context>", false),
              MRCP_STATUS_CODE_SUCCESS);

    for (const char *refused :
         {"<speech-context id='x'/>", "<speech-context><phrase/><phrase></phrase></speech-context>",
          "<Speech-Context><phrase>a</phrase></Speech-Context>", "",
          "<speech-context><phrase>a</phrase>"})
        EXPECT_EQ(Read(refused, false), MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE) << refused;
    EXPECT_TRUE(log.Has("No Phrases in Speech Context [g1] <ch1@koral>", APT_PRIO_WARNING));
    EXPECT_TRUE(
        log.Has("Unexpected XML root element <Speech-Context> <ch1@koral>", APT_PRIO_WARNING));
}

// What an SRGS document becomes, in words: its category, name and
// parameters, then its speech context (none, the configured one it shares,
// or its own with scope, speech-complete, language and phrase count).
std::string Describe(const GrammarRef &grammar, const SpeechContext *shared) {
    std::string text = grammar.category == GrammarRef::CATEGORY_DTMF ? "dtmf" : "speech";
    text += " [" + grammar.name + "]";
    for (const auto &param : grammar.params) text += " [" + param.first + "=" + param.second + "]";
    if (grammar.dtmf_context) text += " dtmf-context";
    const SpeechContext *own = grammar.speech_context;
    if (!own || own == shared) return text + (own ? " shared" : " none");
    const char *scopes[] = {"builtin", "hint", "strict"};
    return text + " own(" + own->name + (own->configured ? ", configured" : "") + ") " +
           scopes[own->scope] + (own->speech_complete ? " complete " : " incomplete ") +
           (own->language.empty() ? "-" : own->language) + " " +
           std::to_string(own->phrases.size());
}

struct SrgsCase {
    const char *m_Xml;
    const char *m_Grammar;  // Describe()'s words, null when refused
    Line m_Log = {};
};

TEST_F(GrammarReaderTest, SrgsDocuments) {
    const SrgsCase cases[] = {
        {"<grammar xmlns='http://www.w3.org/2001/06/grammar' version='1.0' xml:lang='en-GB' "
         "root='colors'><rule id='colors'><one-of><item>Red</item><item>blue</item></one-of>"
         "</rule></grammar>",
         "speech [colors] own(g1) strict complete en-GB 2",
         {"Parse SRGS Grammar [g1] <ch1@koral>", kDebug}},
        // A DTMF grammar's items are its phrases; no digit counts without parameters.
        {"<grammar mode='dtmf' root='pin'><rule id='pin'><one-of><item>1 2 3</item><item>4</item>"
         "</one-of></rule></grammar>",
         "dtmf [pin] own(g1) strict complete - 2"},
        {"<?xml version='1.0'?><!DOCTYPE grammar PUBLIC '-//W3C//DTD GRAMMAR 1.0//EN'"
         " 'http://www.w3.org/TR/speech-grammar/grammar.dtd'><grammar mode='dtmf' version='1.0'>"
         "<rule id=''><one-of><item>1</item></one-of></rule></grammar>",
         "dtmf [g1] own(g1) strict complete - 1"},  // no root: a DTMF grammar is named by its id
        {"<grammar root='yesno'><meta name='scope' content='builtin'/></grammar>",
         "speech [yesno] shared"},
        {"<grammar root='whatever' xml:lang='fr-FR'><meta name='scope' content='transcribe'/>"
         "</grammar>",
         "speech [transcribe] own(g1) builtin incomplete fr-FR 0"},
        {"<grammar root='r'><meta name='scope' content='hint'/>"
         "<META NAME='custom' CONTENT='first'/><meta name='custom' content='second'/>"
         "<meta content='no name'/><meta name='scope' content='wide'/>"
         "<meta name='speech-complete' content='True'/>"
         "<rule id='r'><one-of><item>a</item></one-of></rule></grammar>",
         "speech [r] [=no name] [custom=first] own(g1) hint incomplete - 1",
         {"Unexpected Value <True> for Boolean Attribute <speech-complete>", kWarn}},
        {"<grammar><meta name='scope' content='wide'/></grammar>",
         "speech [] own(g1) strict complete - 0",
         {"Unexpected SRGS Grammar Scope [wide]", kDebug}},
        {"<grammar><meta name='speech-complete' content='false'/></grammar>",
         "speech [] own(g1) strict incomplete - 0"},
        {"<grammar mode='dtmf'><meta name='scope' content='builtin'/></grammar>", "dtmf [g1] none"},
        {"<Grammar root='r'/>", nullptr, {"Unexpected XML root element <Grammar>", kWarn}},
        {"<grammar MODE='Voice'/>", nullptr, {"Unexpected SRGS Grammar Mode [Voice]", kWarn}},
        {"<grammar mode='voice' root='nothing'><meta name='scope' content='builtin'/></grammar>",
         nullptr,
         {"No Such Builtin Speech Grammar [nothing] ", kWarn}},
        {"<speech-context/>", nullptr},
        {"<grammar", nullptr},
    };
    for (const SrgsCase &c : cases) {
        SCOPED_TRACE(c.m_Xml);
        log.Clear();
        ASSERT_EQ(Read(c.m_Xml, true), c.m_Grammar ? MRCP_STATUS_CODE_SUCCESS
                                                   : MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
        EXPECT_TRUE(!c.m_Log.m_Text || log.Has(c.m_Log.m_Text, c.m_Log.m_Priority))
            << c.m_Log.m_Text;
        if (!c.m_Grammar) continue;
        EXPECT_EQ(grammar->ref_type, GrammarRef::REF_DEFINED);
        EXPECT_EQ(Describe(*grammar, &yesno), c.m_Grammar);
    }
    // Deleting the grammars that shared the configured context left it whole.
    grammar.reset();
    bool complete = false;
    EXPECT_TRUE(yesno.FindPhrase("yes", complete));
}

// Records the lines a uri-list reader hands out, with their parameters.
class RecordingHandler : public GrammarUriHandler {
  public:
    mrcp_status_code_e OnBuiltinGrammar(BuiltinGrammar &grammar) override {
        EXPECT_EQ(grammar.category, grammar.type == "dtmf/" ? GrammarRef::CATEGORY_DTMF
                                                            : GrammarRef::CATEGORY_SPEECH);
        std::string line = "builtin " + grammar.type + "[" + grammar.name + "]";
        for (const auto &param : grammar.params)
            line += " [" + param.first + "=" + param.second + "]";
        lines.push_back(line);
        return status;
    }
    mrcp_status_code_e OnSessionGrammar(const std::string &id) override {
        lines.push_back("session " + id);
        return status;
    }
    std::vector<std::string> lines;
    mrcp_status_code_e status = MRCP_STATUS_CODE_SUCCESS;
};

struct UriListCase {
    const char *m_Body = nullptr;
    bool m_AcceptSession = true, m_Skip = true;
    mrcp_status_code_e m_Status = MRCP_STATUS_CODE_SUCCESS;
    std::vector<std::string> m_Lines = {};
    Line m_Log = {};
};

TEST_F(GrammarReaderTest, UriLists) {
    const auto kOk = MRCP_STATUS_CODE_SUCCESS, kMissing = MRCP_STATUS_CODE_MISSING_PARAM;
    const auto kUnsupported = MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;
    const UriListCase cases[] = {
        {" \tBUILTIN: speech/transcribe\r\n\r\nsession:  g1\rSession:g2\nbuiltin:dtmf/d",
         true,
         false,
         kOk,
         {"builtin speech/[transcribe]", "session g1", "session g2", "builtin dtmf/[d]"},
         {"Skip Empty Grammar Line <ch1@koral>", kDebug}},
        {"", true, false, kOk, {}},
        // Types in any case; a name's leading blanks go, trailing ones stay;
        // parameters end at the line, at an empty piece; pieces without a
        // key or = are skipped; the first of two keys stays.
        {"builtin:SPEECH/  transcribe \nbuiltin:Grammar/yesno?language=de-DE\r\n"
         "builtin:dtmf/x?minlength=2;maxlength=4\nbuiltin:dtmf/x?minlength=2;;maxlength=4\n"
         "builtin:dtmf/digits?bare;length=4\nbuiltin:dtmf/d?length=4;length=5;=9;k=;  lang = en "
         "=US\n"
         "builtin:speech/t?\nbuiltin:speech/t?;length=4\nbuiltin:speech/t?length=4;",
         false,
         false,
         kOk,
         {"builtin speech/[transcribe ]", "builtin grammar/[yesno] [language=de-DE]",
          "builtin dtmf/[x] [maxlength=4] [minlength=2]", "builtin dtmf/[x] [minlength=2]",
          "builtin dtmf/[digits] [length=4]", "builtin dtmf/[d] [k=] [lang = en =US] [length=4]",
          "builtin speech/[t]", "builtin speech/[t]", "builtin speech/[t] [length=4]"}},
        {"http://example.com/g.grxml\nbuiltin:speech/a",
         true,
         true,
         kOk,
         {"builtin speech/[a]"},
         {"Unsupported Grammar Format [http://example.com/g.grxml] <ch1@koral>", kWarn}},
        {"http://example.com/g.grxml\nbuiltin:speech/a", true, false, kUnsupported, {}},
        {"session:g1", false, false, kUnsupported, {}},  // a definition reads no session line
        // Unreadable lines end the body, whatever the skipping.
        {"builtin:voice/transcribe\r\nbuiltin:speech/a",
         true,
         true,
         kMissing,
         {},
         {"Unknown Builtin Grammar Type [voice/transcribe] <ch1@koral>", kWarn}},
        {"builtin:",
         true,
         true,
         kMissing,
         {},
         {"Unknown Builtin Grammar Type [] <ch1@koral>", kWarn}},
        {"builtin:speech", true, true, kMissing, {}},
        {"builtin:dtmf/\nbuiltin:speech/a",
         true,
         true,
         kMissing,
         {},
         {"Missing Builtin Grammar Name <ch1@koral>", kWarn}},
        {"builtin:dtmf/?length=4", true, true, kMissing, {}},
        {"builtin:speech/ \t", true, true, kMissing, {}},
        {"builtin:speech/ \t?x=1", true, true, kMissing, {}},
        {"session: \t\nbuiltin:speech/a",
         true,
         true,
         kMissing,
         {},
         {"Missing Session Grammar Name <ch1@koral>", kWarn}},
    };
    for (const UriListCase &c : cases) {
        SCOPED_TRACE(c.m_Body);
        log.Clear();
        RecordingHandler handler;
        EXPECT_EQ(ReadGrammarUriList(c.m_Body, strlen(c.m_Body), c.m_AcceptSession, c.m_Skip,
                                     pool.get(), "ch1", handler),
                  c.m_Status);
        EXPECT_EQ(handler.lines, c.m_Lines);
        EXPECT_TRUE(!c.m_Log.m_Text || log.Has(c.m_Log.m_Text, c.m_Log.m_Priority))
            << c.m_Log.m_Text;
    }
    RecordingHandler failing;
    failing.status = MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE;
    EXPECT_EQ(
        ReadGrammarUriList("session:a\nsession:b", 19, true, true, pool.get(), "ch1", failing),
        MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE);
    EXPECT_EQ(failing.lines.size(), 1u) << "the handler's failure ends the body";
}

}  // namespace
