#include <gtest/gtest.h>

#include <memory>

#include "KoralRxGrammarReader.h"
#include "KoralRxGrammarXml.h"
#include "KoralTest/AprPool.h"
#include "KoralTest/LogCapture.h"

using namespace KORAL;
using KoralTest::AprPool;
using KoralTest::LogCapture;

namespace {

class XmlDocumentTest : public ::testing::Test {
  protected:
    bool Parses(const std::string &text) {
        return ParseXmlDocument(text.data(), text.size(), pool.get()) != nullptr;
    }
    AprPool pool;
    LogCapture log;
};

TEST_F(XmlDocumentTest, RefusesEmptyAndMalformedText) {
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
}

TEST_F(XmlDocumentTest, RefusesHugeDeepAndExpandingDocuments) {
    std::string huge = "<a>" + std::string(kMaxXmlDocumentSize, 'x') + "</a>";
    EXPECT_FALSE(Parses(huge));
    EXPECT_TRUE(
        log.Has("XML Content Too Large [" + std::to_string(huge.size()) + "]", APT_PRIO_WARNING));

    auto nested = [](int depth) {
        std::string text;
        for (int i = 0; i < depth; ++i) text += "<a>";
        for (int i = 0; i < depth; ++i) text += "</a>";
        return text;
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

TEST_F(XmlDocumentTest, AcceptsUtf16WithByteOrderMark) {
    const char text[] = "<a>hi</a>";
    std::string utf16 = "\xFF\xFE";
    for (const char *p = text; *p; ++p) {
        utf16 += *p;
        utf16 += '\0';
    }
    apr_xml_doc *doc = ParseXmlDocument(utf16.data(), utf16.size(), pool.get());
    ASSERT_NE(doc, nullptr);
    std::string content;
    EXPECT_TRUE(XmlElemText(doc->root, content));
    EXPECT_EQ(content, "hi");
}

class DocumentReaderTest : public ::testing::Test {
  protected:
    mrcp_status_code_e ReadContext(const std::string &text) {
        grammar.reset();
        GrammarRef *out = nullptr;
        mrcp_status_code_e status =
            ReadSpeechContextDocument(text.data(), text.size(), pool.get(), "sc1", "ch1", out);
        grammar.reset(out);
        EXPECT_EQ(status == MRCP_STATUS_CODE_SUCCESS, out != nullptr);
        return status;
    }
    mrcp_status_code_e ReadSrgs(const std::string &text) {
        grammar.reset();
        GrammarRef *out = nullptr;
        mrcp_status_code_e status = ReadSrgsDocument(text.data(), text.size(), pool.get(), "g1",
                                                     contexts, "transcribe", "ch1", out);
        grammar.reset(out);
        EXPECT_EQ(status == MRCP_STATUS_CODE_SUCCESS, out != nullptr);
        return status;
    }

    AprPool pool;
    LogCapture log;
    SpeechContextMap contexts;
    std::unique_ptr<GrammarRef> grammar;
};

TEST_F(DocumentReaderTest, SpeechContextDocument) {
    ASSERT_EQ(ReadContext("<speech-context id='ignored' scope='strict' language='es-ES'>"
                          "<phrase>Uno</phrase><phrase tag='2'>dos</phrase></speech-context>"),
              MRCP_STATUS_CODE_SUCCESS);
    EXPECT_EQ(grammar->id, "sc1");
    EXPECT_EQ(grammar->name, "sc1");
    EXPECT_EQ(grammar->category, GrammarRef::CATEGORY_SPEECH);
    EXPECT_EQ(grammar->ref_type, GrammarRef::REF_DEFINED);
    ASSERT_NE(grammar->speech_context, nullptr);
    EXPECT_EQ(grammar->speech_context->name, "sc1");
    EXPECT_EQ(grammar->speech_context->language, "es-ES");
    EXPECT_TRUE(grammar->speech_context->speech_complete);
    EXPECT_FALSE(grammar->speech_context->configured);
    EXPECT_TRUE(log.Has("Parse Speech Context [sc1] <ch1@koral>", APT_PRIO_DEBUG));
    EXPECT_TRUE(log.Has("Load Speech Context [sc1] <ch1@koral>", APT_PRIO_DEBUG));

    // A disabled document context is still a grammar: enable only matters in the configuration.
    EXPECT_EQ(ReadContext("<speech-context enable='false'><phrase>x</phrase></speech-context>"),
              MRCP_STATUS_CODE_SUCCESS);
}

TEST_F(DocumentReaderTest, SpeechContextDocumentRefusals) {
    EXPECT_EQ(ReadContext("<speech-context id='x'/>"), MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
    EXPECT_TRUE(log.Has("No Phrases in Speech Context [sc1] <ch1@koral>", APT_PRIO_WARNING));
    EXPECT_EQ(ReadContext("<speech-context><phrase/><phrase></phrase></speech-context>"),
              MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
    EXPECT_EQ(ReadContext("<Speech-Context><phrase>a</phrase></Speech-Context>"),
              MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
    EXPECT_TRUE(
        log.Has("Unexpected XML root element <Speech-Context> <ch1@koral>", APT_PRIO_WARNING));
    EXPECT_EQ(ReadContext(""), MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
    EXPECT_EQ(ReadContext("<speech-context><phrase>a</phrase>"),
              MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
}

TEST_F(DocumentReaderTest, SrgsDocument) {
    ASSERT_EQ(ReadSrgs("<?xml version='1.0'?><!DOCTYPE grammar PUBLIC '-//W3C//DTD GRAMMAR 1.0//EN'"
                       " 'http://www.w3.org/TR/speech-grammar/grammar.dtd'>"
                       "<grammar mode='dtmf' version='1.0'><rule id=''><one-of><item>1</item>"
                       "</one-of></rule></grammar>"),
              MRCP_STATUS_CODE_SUCCESS);
    EXPECT_EQ(grammar->category, GrammarRef::CATEGORY_DTMF);
    EXPECT_EQ(grammar->name, "g1") << "a DTMF grammar without root is named by its id";
    EXPECT_TRUE(log.Has("Parse SRGS Grammar [g1] <ch1@koral>", APT_PRIO_DEBUG));

    ASSERT_EQ(ReadSrgs("<grammar root='main'/>"), MRCP_STATUS_CODE_SUCCESS);
    EXPECT_EQ(grammar->name, "main");

    EXPECT_EQ(ReadSrgs("<grammar mode='voice' root='x'><meta name='scope' content='builtin'/>"
                       "</grammar>"),
              MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
    EXPECT_EQ(ReadSrgs("<speech-context/>"), MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
    EXPECT_EQ(ReadSrgs("<grammar"), MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
}

class BuiltinReaderTest : public ::testing::Test {
  protected:
    bool Read(const std::string &text) {
        buffer = text;
        grammar = BuiltinGrammar();
        apt_text_stream_t stream;
        apt_text_stream_init(&stream, buffer.empty() ? nullptr : &buffer[0], buffer.size());
        return ReadBuiltinGrammar(stream, grammar, pool.get(), "ch1");
    }
    AprPool pool;
    LogCapture log;
    std::string buffer;
    BuiltinGrammar grammar;
};

TEST_F(BuiltinReaderTest, TypesInAnyCase) {
    ASSERT_TRUE(Read("SPEECH/transcribe"));
    EXPECT_EQ(grammar.category, GrammarRef::CATEGORY_SPEECH);
    EXPECT_EQ(grammar.type, "speech/");
    EXPECT_EQ(grammar.name, "transcribe");
    ASSERT_TRUE(Read("Grammar/yesno?language=de-DE"));
    EXPECT_EQ(grammar.type, "grammar/");
    EXPECT_EQ(grammar.params, (GrammarParams{{"language", "de-DE"}}));
    ASSERT_TRUE(Read("dtmf/digits?length=4"));
    EXPECT_EQ(grammar.category, GrammarRef::CATEGORY_DTMF);
    EXPECT_EQ(grammar.type, "dtmf/");
    EXPECT_EQ(grammar.name, "digits");
}

TEST_F(BuiltinReaderTest, UnknownTypeAndMissingName) {
    EXPECT_FALSE(Read("voice/transcribe\r\nnext"));
    EXPECT_TRUE(
        log.Has("Unknown Builtin Grammar Type [voice/transcribe] <ch1@koral>", APT_PRIO_WARNING));
    EXPECT_FALSE(Read(""));
    EXPECT_TRUE(log.Has("Unknown Builtin Grammar Type [] <ch1@koral>", APT_PRIO_WARNING));
    EXPECT_FALSE(Read("speech"));
    EXPECT_FALSE(Read("dtmf/"));
    EXPECT_TRUE(log.Has("Missing Builtin Grammar Name <ch1@koral>", APT_PRIO_WARNING));
    EXPECT_FALSE(Read("dtmf/?length=4"));
    EXPECT_FALSE(Read("speech/ \t"));
}

// Records the lines a uri-list reader hands out.
class RecordingHandler : public GrammarUriHandler {
  public:
    mrcp_status_code_e OnBuiltinGrammar(BuiltinGrammar &grammar) override {
        lines.push_back("builtin " + grammar.type + grammar.name);
        return status;
    }
    mrcp_status_code_e OnSessionGrammar(const std::string &id) override {
        lines.push_back("session " + id);
        return status;
    }
    std::vector<std::string> lines;
    mrcp_status_code_e status = MRCP_STATUS_CODE_SUCCESS;
};

class UriListTest : public ::testing::Test {
  protected:
    mrcp_status_code_e Read(const std::string &body, bool accept_session, bool skip) {
        handler.lines.clear();
        return ReadGrammarUriList(body.data(), body.size(), accept_session, skip, pool.get(), "ch1",
                                  handler);
    }
    AprPool pool;
    LogCapture log;
    RecordingHandler handler;
};

TEST_F(UriListTest, LinesOfEveryEnding) {
    EXPECT_EQ(Read(" \tBUILTIN: speech/transcribe\r\n\r\nsession:  g1\rSession:g2\nbuiltin:dtmf/d",
                   true, false),
              MRCP_STATUS_CODE_SUCCESS);
    EXPECT_EQ(handler.lines, (std::vector<std::string>{"builtin speech/transcribe", "session g1",
                                                       "session g2", "builtin dtmf/d"}));
    EXPECT_TRUE(log.Has("Skip Empty Grammar Line <ch1@koral>", APT_PRIO_DEBUG));
    EXPECT_EQ(Read("", true, false), MRCP_STATUS_CODE_SUCCESS);
    EXPECT_TRUE(handler.lines.empty());
}

TEST_F(UriListTest, UnsupportedLines) {
    EXPECT_EQ(Read("http://example.com/g.grxml\nbuiltin:speech/a", true, true),
              MRCP_STATUS_CODE_SUCCESS);
    EXPECT_EQ(handler.lines.size(), 1u);
    EXPECT_TRUE(log.Has("Unsupported Grammar Format [http://example.com/g.grxml] <ch1@koral>",
                        APT_PRIO_WARNING));
    EXPECT_EQ(Read("http://example.com/g.grxml\nbuiltin:speech/a", true, false),
              MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
    EXPECT_TRUE(handler.lines.empty());
    // A definition does not read session lines.
    EXPECT_EQ(Read("session:g1", false, false), MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
    EXPECT_TRUE(handler.lines.empty());
}

TEST_F(UriListTest, UnreadableLinesEndTheBody) {
    EXPECT_EQ(Read("builtin:speech/\nbuiltin:speech/a", true, true),
              MRCP_STATUS_CODE_MISSING_PARAM);
    EXPECT_TRUE(handler.lines.empty());
    EXPECT_EQ(Read("builtin:foo/a\nbuiltin:speech/a", true, true), MRCP_STATUS_CODE_MISSING_PARAM);
    EXPECT_EQ(Read("session: \t\nbuiltin:speech/a", true, true), MRCP_STATUS_CODE_MISSING_PARAM);
    EXPECT_TRUE(log.Has("Missing Session Grammar Name <ch1@koral>", APT_PRIO_WARNING));
    EXPECT_TRUE(handler.lines.empty());

    handler.status = MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE;
    EXPECT_EQ(Read("session:a\nsession:b", true, true), MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE);
    EXPECT_EQ(handler.lines.size(), 1u) << "the handler's failure ends the body";
}

TEST(GrammarContentTest, ContentTypesCompareExactly) {
    EXPECT_EQ(ClassifyGrammarContent("text/uri-list", false), GRAMMAR_CONTENT_URI_LIST);
    EXPECT_EQ(ClassifyGrammarContent("Text/URI-List", true), GRAMMAR_CONTENT_UNSUPPORTED);
    EXPECT_EQ(ClassifyGrammarContent("application/xml", false), GRAMMAR_CONTENT_SPEECH_CONTEXT);
    EXPECT_EQ(ClassifyGrammarContent("application/srgs+xml", true), GRAMMAR_CONTENT_SRGS);
    EXPECT_EQ(ClassifyGrammarContent("application/grammar+xml", true), GRAMMAR_CONTENT_SRGS);
    EXPECT_EQ(ClassifyGrammarContent("application/srgs+xml", false), GRAMMAR_CONTENT_UNSUPPORTED);
    EXPECT_EQ(ClassifyGrammarContent("application/srgs", true), GRAMMAR_CONTENT_UNSUPPORTED);
    EXPECT_EQ(ClassifyGrammarContent(nullptr, true), GRAMMAR_CONTENT_UNSUPPORTED);
}

}  // namespace
