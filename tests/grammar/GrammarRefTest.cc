#include <gtest/gtest.h>

#include <cstring>

#include "KoralRxGrammar.h"
#include "KoralTest/AprPool.h"
#include "KoralTest/LogCapture.h"

using namespace KORAL;
using KoralTest::AprPool;
using KoralTest::LogCapture;

namespace {

// Reads the name and parameters from a text (the rest of a builtin URI).
bool ReadNameParams(const std::string &text, std::string &name, GrammarParams &params) {
    std::string buffer = text;
    apt_text_stream_t stream;
    apt_text_stream_init(&stream, buffer.empty() ? nullptr : &buffer[0], buffer.size());
    return GrammarRef::ReadBuiltinNameParams(stream, name, params, nullptr);
}

TEST(BuiltinNameParamsTest, NameAndParameters) {
    std::string name;
    GrammarParams params;
    ASSERT_TRUE(ReadNameParams("x?minlength=2;maxlength=4", name, params));
    EXPECT_EQ(name, "x");
    EXPECT_EQ(params, (GrammarParams{{"minlength", "2"}, {"maxlength", "4"}}));

    params.clear();
    ASSERT_TRUE(ReadNameParams("x?minlength=2;;maxlength=4", name, params));
    EXPECT_EQ(params, (GrammarParams{{"minlength", "2"}})) << "an empty piece ends the list";

    params.clear();
    ASSERT_TRUE(ReadNameParams("digits?bare;length=4", name, params));
    EXPECT_EQ(params, (GrammarParams{{"length", "4"}})) << "a piece without = is skipped";

    params.clear();
    ASSERT_TRUE(ReadNameParams("d?length=4;length=5;=9;k=;  lang = en =US", name, params));
    EXPECT_EQ(params, (GrammarParams{{"length", "4"}, {"k", ""}, {"lang ", " en =US"}}));

    params.clear();
    ASSERT_TRUE(ReadNameParams("  transcribe ", name, params));
    EXPECT_EQ(name, "transcribe ") << "leading blanks go, trailing ones stay";
    EXPECT_TRUE(params.empty());

    ASSERT_TRUE(ReadNameParams("t?", name, params));
    EXPECT_EQ(name, "t");
    EXPECT_TRUE(params.empty());
    ASSERT_TRUE(ReadNameParams("t?;length=4", name, params));
    EXPECT_TRUE(params.empty());
    ASSERT_TRUE(ReadNameParams("t?length=4;", name, params));
    EXPECT_EQ(params, (GrammarParams{{"length", "4"}}));
}

TEST(BuiltinNameParamsTest, OneLineOnly) {
    std::string buffer = "name?a=1\r\nb=2";
    apt_text_stream_t stream;
    apt_text_stream_init(&stream, &buffer[0], buffer.size());
    std::string name;
    GrammarParams params;
    ASSERT_TRUE(GrammarRef::ReadBuiltinNameParams(stream, name, params, nullptr));
    EXPECT_EQ(params, (GrammarParams{{"a", "1"}}));
    EXPECT_EQ(std::string(static_cast<const char *>(stream.pos), stream.end), "b=2");
}

TEST(BuiltinNameParamsTest, EmptyLineOrNameFails) {
    std::string name;
    GrammarParams params;
    EXPECT_FALSE(ReadNameParams("", name, params));
    EXPECT_FALSE(ReadNameParams("\r\nx", name, params));
    EXPECT_FALSE(ReadNameParams("   ", name, params));
    EXPECT_FALSE(ReadNameParams("?length=4", name, params));
    EXPECT_FALSE(ReadNameParams(" \t?x=1", name, params));
}

class SrgsGrammarTest : public ::testing::Test {
  protected:
    SrgsGrammarTest() {
        yesno.name = "yesno";
        yesno.configured = true;
        yesno.AddPhrase("yes", "");
        contexts["yesno"] = &yesno;
    }

    // Loads a document into `grammar` (id "g1").
    bool LoadSrgs(const std::string &xml) {
        const apr_xml_elem *root = pool.Xml(xml);
        EXPECT_NE(root, nullptr) << xml;
        grammar.id = "g1";
        return root && grammar.LoadSrgsGrammar(root, contexts, "transcribe");
    }

    AprPool pool;
    LogCapture log;
    SpeechContext yesno;
    SpeechContextMap contexts;
    GrammarRef grammar;
};

TEST_F(SrgsGrammarTest, VoiceGrammarBuildsAStrictContext) {
    ASSERT_TRUE(LoadSrgs(
        "<grammar xmlns='http://www.w3.org/2001/06/grammar' version='1.0' xml:lang='en-GB' "
        "root='colors'><rule id='colors'><one-of><item>Red</item><item>blue</item></one-of>"
        "</rule></grammar>"));
    EXPECT_EQ(grammar.category, GrammarRef::CATEGORY_SPEECH);
    EXPECT_EQ(grammar.ref_type, GrammarRef::REF_DEFINED);
    EXPECT_EQ(grammar.name, "colors");
    ASSERT_NE(grammar.speech_context, nullptr);
    EXPECT_FALSE(grammar.speech_context->configured);
    EXPECT_EQ(grammar.speech_context->name, "g1");
    EXPECT_EQ(grammar.speech_context->language, "en-GB");
    EXPECT_EQ(grammar.speech_context->scope, SpeechContext::SCOPE_STRICT);
    EXPECT_TRUE(grammar.speech_context->speech_complete);
    EXPECT_EQ(grammar.speech_context->phrases.size(), 2u);
}

TEST_F(SrgsGrammarTest, DtmfModeWithoutMetaTags) {
    ASSERT_TRUE(
        LoadSrgs("<grammar mode='dtmf' root='pin'><rule id='pin'><one-of>"
                 "<item>1 2 3</item><item>4</item></one-of></rule></grammar>"));
    EXPECT_EQ(grammar.category, GrammarRef::CATEGORY_DTMF);
    EXPECT_EQ(grammar.dtmf_context, nullptr);
    ASSERT_NE(grammar.speech_context, nullptr);
    EXPECT_EQ(grammar.speech_context->scope, SpeechContext::SCOPE_STRICT);
    EXPECT_TRUE(grammar.speech_context->speech_complete);
    EXPECT_TRUE(grammar.speech_context->phrases.count("1 2 3"));
    EXPECT_TRUE(grammar.speech_context->language.empty());
}

TEST_F(SrgsGrammarTest, RootElementAndModeAreCaseSensitive) {
    EXPECT_FALSE(LoadSrgs("<Grammar root='r'/>"));
    EXPECT_TRUE(log.Has("Unexpected XML root element <Grammar>", APT_PRIO_WARNING));
    GrammarRef other;
    EXPECT_FALSE(other.LoadSrgsGrammar(pool.Xml("<grammar MODE='Voice'/>"), contexts, "t"));
    EXPECT_TRUE(log.Has("Unexpected SRGS Grammar Mode [Voice]", APT_PRIO_WARNING));
    EXPECT_EQ(other.speech_context, nullptr);
}

TEST_F(SrgsGrammarTest, ScopeBuiltinSharesTheConfiguredContext) {
    ASSERT_TRUE(LoadSrgs("<grammar root='yesno'><meta name='scope' content='builtin'/></grammar>"));
    EXPECT_EQ(grammar.speech_context, &yesno);
    {
        GrammarRef shared;
        ASSERT_TRUE(shared.LoadSrgsGrammar(
            pool.Xml("<grammar root='yesno'><meta name='scope' content='builtin'/></grammar>"),
            contexts, "transcribe"));
    }
    // Deleting a reference leaves the shared context whole (ASan would see a free).
    bool complete = false;
    EXPECT_TRUE(yesno.FindPhrase("yes", complete));
}

TEST_F(SrgsGrammarTest, UnknownBuiltinSpeechNameFails) {
    EXPECT_FALSE(
        LoadSrgs("<grammar root='nothing'><meta name='scope' content='builtin'/></grammar>"));
    EXPECT_TRUE(log.Has("No Such Builtin Speech Grammar [nothing] ", APT_PRIO_WARNING));
    EXPECT_EQ(grammar.speech_context, nullptr);
}

TEST_F(SrgsGrammarTest, ScopeNamingTheTranscriptionGrammar) {
    ASSERT_TRUE(
        LoadSrgs("<grammar root='whatever' xml:lang='fr-FR'>"
                 "<meta name='scope' content='transcribe'/></grammar>"));
    EXPECT_EQ(grammar.name, "transcribe");
    ASSERT_NE(grammar.speech_context, nullptr);
    EXPECT_TRUE(grammar.speech_context->phrases.empty());
    EXPECT_EQ(grammar.speech_context->scope, SpeechContext::SCOPE_BUILTIN);
    EXPECT_FALSE(grammar.speech_context->speech_complete);
    EXPECT_EQ(grammar.speech_context->language, "fr-FR");
}

TEST_F(SrgsGrammarTest, MetaTags) {
    ASSERT_TRUE(
        LoadSrgs("<grammar root='r'>"
                 "<meta name='scope' content='hint'/>"
                 "<META NAME='custom' CONTENT='first'/><meta name='custom' content='second'/>"
                 "<meta content='no name'/><meta name='scope' content='wide'/>"
                 "<meta name='speech-complete' content='True'/>"
                 "<rule id='r'><one-of><item>a</item></one-of></rule></grammar>"));
    ASSERT_NE(grammar.speech_context, nullptr);
    EXPECT_EQ(grammar.speech_context->scope, SpeechContext::SCOPE_HINT);
    EXPECT_FALSE(grammar.speech_context->speech_complete) << "hint gives speech-complete off";
    EXPECT_EQ(grammar.params, (GrammarParams{{"custom", "first"}, {"", "no name"}}));
    EXPECT_TRUE(log.Has("Unexpected SRGS Grammar Scope [wide]", APT_PRIO_DEBUG));
    EXPECT_TRUE(log.Has("Unexpected Value <True> for Boolean Attribute <speech-complete>",
                        APT_PRIO_WARNING));

    GrammarRef explicit_off;
    explicit_off.LoadSrgsGrammar(pool.Xml("<grammar><meta name='speech-complete' "
                                          "content='false'/></grammar>"),
                                 contexts, "transcribe");
    ASSERT_NE(explicit_off.speech_context, nullptr);
    EXPECT_EQ(explicit_off.speech_context->scope, SpeechContext::SCOPE_STRICT);
    EXPECT_FALSE(explicit_off.speech_context->speech_complete);
}

TEST_F(SrgsGrammarTest, DtmfGrammarWithBuiltinScopeHasNoContext) {
    ASSERT_TRUE(LoadSrgs("<grammar mode='dtmf'><meta name='scope' content='builtin'/></grammar>"));
    EXPECT_EQ(grammar.speech_context, nullptr);
    EXPECT_EQ(grammar.category, GrammarRef::CATEGORY_DTMF);
}

TEST(GrammarRefTest, OwnsItsContextsButNotConfiguredOnes) {
    SpeechContext shared;
    shared.configured = true;
    {
        GrammarRef grammar;
        grammar.SetSpeechContext(new SpeechContext());
        grammar.SetSpeechContext(&shared);  // frees the owned one
        grammar.SetDtmfContext(new DtmfContext());
        grammar.SetDtmfContext(new DtmfContext());
    }
    shared.AddPhrase("still", "here");
    EXPECT_EQ(shared.phrases.size(), 1u);
}

}  // namespace
