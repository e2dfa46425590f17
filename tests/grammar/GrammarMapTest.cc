#include <gtest/gtest.h>

#include "KoralRxGrammarMap.h"
#include "KoralTest/AprPool.h"
#include "KoralTest/LogCapture.h"

using namespace KORAL;
using KoralTest::AprPool;
using KoralTest::LogCapture;

namespace {

const char kUriList[] = "text/uri-list";
const char kXml[] = "application/xml";
const char kSrgs[] = "application/srgs+xml";

class GrammarMapTest : public ::testing::Test {
  protected:
    GrammarMapTest() {
        yesno.name = "yesno";
        yesno.language = "en-US";
        yesno.configured = true;
        yesno.scope = SpeechContext::SCOPE_STRICT;
        yesno.AddPhrase("yes", "");
        contexts["yesno"] = &yesno;
        settings.contexts = &contexts;
    }

    GrammarMap &Map() {
        if (!map) map.reset(new GrammarMap(settings, "ch1"));
        return *map;
    }
    mrcp_status_code_e Define(const char *type, const char *id, const std::string &body) {
        return Map().DefineGrammar(type, id, body.data(), body.size(), pool.get());
    }
    mrcp_status_code_e Activate(const char *type, const char *id, const std::string &body) {
        return Map().SetActiveGrammar(type, id, body.data(), body.size(), pool.get());
    }

    AprPool pool;
    LogCapture log;
    SpeechContext yesno;
    SpeechContextMap contexts;
    GrammarMap::Settings settings;
    std::unique_ptr<GrammarMap> map;
};

const char kColors[] = "<speech-context><phrase>red</phrase><phrase>blue</phrase></speech-context>";

TEST_F(GrammarMapTest, DefineReplaceRemove) {
    ASSERT_EQ(Define(kXml, "colors", kColors), MRCP_STATUS_CODE_SUCCESS);
    EXPECT_TRUE(log.Has("Add Speech Context [colors] <ch1@koral>", APT_PRIO_DEBUG));
    GrammarRef *first = Map().Find("colors");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->speech_context->phrases.size(), 2u);

    ASSERT_EQ(Define(kXml, "colors", "<speech-context><phrase>green</phrase></speech-context>"),
              MRCP_STATUS_CODE_SUCCESS);
    EXPECT_TRUE(log.Has("Remove Existing Speech Context [colors] <ch1@koral>", APT_PRIO_DEBUG));
    ASSERT_EQ(Map().Size(), 1u);
    EXPECT_EQ(Map().Find("colors")->speech_context->phrases.count("green"), 1u);

    // A failed definition leaves the earlier one in place.
    EXPECT_EQ(Define(kXml, "colors", "<speech-context/>"),
              MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
    EXPECT_EQ(Map().Find("colors")->speech_context->phrases.count("green"), 1u);

    log.Clear();
    EXPECT_EQ(Define(nullptr, "colors", ""), MRCP_STATUS_CODE_SUCCESS);
    EXPECT_TRUE(log.Has("Remove Existing Speech Context [colors] <ch1@koral>", APT_PRIO_DEBUG));
    EXPECT_EQ(Map().Find("colors"), nullptr);
    EXPECT_EQ(Define("", "colors", ""), MRCP_STATUS_CODE_MISSING_PARAM);
    EXPECT_TRUE(log.Has("Non-Existent Content-Id [colors] <ch1@koral>", APT_PRIO_WARNING));
}

TEST_F(GrammarMapTest, DefineNeedsHeaders) {
    EXPECT_EQ(Define(kXml, "", kColors), MRCP_STATUS_CODE_MISSING_PARAM);
    EXPECT_TRUE(log.Has("Missing Content-Id <ch1@koral>", APT_PRIO_WARNING));
    EXPECT_EQ(Define(nullptr, "c", kColors), MRCP_STATUS_CODE_MISSING_PARAM);
    EXPECT_TRUE(log.Has("Missing Content-Type <ch1@koral>", APT_PRIO_WARNING));
    EXPECT_EQ(Map().Size(), 0u);
}

TEST_F(GrammarMapTest, UnsupportedContentTypes) {
    EXPECT_EQ(Define("text/plain", "g", "x"), MRCP_STATUS_CODE_SUCCESS);
    EXPECT_TRUE(log.Has("Unsupported Content Type [text/plain] <ch1@koral>", APT_PRIO_WARNING));
    EXPECT_EQ(Map().Size(), 0u);

    settings.accept_srgs = false;
    settings.skip_unsupported_grammars = false;
    map.reset();
    EXPECT_EQ(Define(kSrgs, "g", "<grammar root='yesno'/>"),
              MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
    EXPECT_TRUE(
        log.Has("Unsupported Content Type [application/srgs+xml] <ch1@koral>", APT_PRIO_WARNING));
    EXPECT_EQ(Activate("application/grammar+xml", "g", "<grammar/>"),
              MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
    EXPECT_EQ(Map().Size(), 0u);
}

TEST_F(GrammarMapTest, SrgsDefinitions) {
    ASSERT_EQ(Define(kSrgs, "g",
                     "<grammar root='r'><rule id='r'><one-of><item>a</item></one-of>"
                     "</rule></grammar>"),
              MRCP_STATUS_CODE_SUCCESS);
    EXPECT_TRUE(log.Has("Add Speech Grammar [g] <ch1@koral>", APT_PRIO_DEBUG));
    ASSERT_EQ(Define("application/grammar+xml", "g", "<grammar mode='dtmf'/>"),
              MRCP_STATUS_CODE_SUCCESS);
    EXPECT_TRUE(log.Has("Remove Existing DTMF Grammar [g] <ch1@koral>", APT_PRIO_DEBUG));
    EXPECT_TRUE(log.Has("Add DTMF Grammar [g] <ch1@koral>", APT_PRIO_DEBUG));
    EXPECT_EQ(Map().Find("g")->category, GrammarRef::CATEGORY_DTMF);
    EXPECT_EQ(Define(kSrgs, "g", "<grammar mode='both'/>"),
              MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
    EXPECT_EQ(Map().Find("g")->category, GrammarRef::CATEGORY_DTMF);
}

TEST_F(GrammarMapTest, UriListDefinitions) {
    ASSERT_EQ(Define(kUriList, "g", "builtin:speech/yesno\nbuiltin:dtmf/pin?length=4"),
              MRCP_STATUS_CODE_SUCCESS);
    ASSERT_EQ(Map().Size(), 1u);
    GrammarRef *g = Map().Find("g");
    EXPECT_EQ(g->category, GrammarRef::CATEGORY_DTMF) << "the last line stays";
    EXPECT_EQ(g->ref_type, GrammarRef::REF_DEFINED);
    EXPECT_EQ(g->name, "pin");
    ASSERT_NE(g->dtmf_context, nullptr);
    EXPECT_EQ(g->dtmf_context->length, 4u);

    EXPECT_EQ(Define(kUriList, "h", "builtin:speech/unknown\nbuiltin:speech/transcribe"),
              MRCP_STATUS_CODE_SUCCESS);
    EXPECT_TRUE(log.Has("No Such Builtin Speech Grammar [unknown] <ch1@koral>", APT_PRIO_WARNING));
    EXPECT_EQ(Map().Find("h")->speech_context, nullptr) << "free transcription";

    settings.skip_unsupported_grammars = false;
    map.reset();
    EXPECT_EQ(Define(kUriList, "h", "builtin:speech/unknown\nbuiltin:speech/transcribe"),
              MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
    EXPECT_EQ(Define(kUriList, "h", "session:g"), MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
    EXPECT_EQ(Define(kUriList, "h", "builtin:speech/"), MRCP_STATUS_CODE_MISSING_PARAM);
    EXPECT_EQ(Map().Size(), 0u);
}

TEST_F(GrammarMapTest, TwoBuiltinSpeechLines) {
    ASSERT_EQ(Activate(kUriList, nullptr, "builtin:speech/transcribe\nbuiltin:speech/yesno"),
              MRCP_STATUS_CODE_SUCCESS);
    ASSERT_NE(Map().ActiveSpeechGrammar(), nullptr);
    EXPECT_EQ(Map().ActiveSpeechGrammar()->name, "transcribe");
    EXPECT_EQ(Map().ActiveSpeechGrammar()->ref_type, GrammarRef::REF_BUILTIN);
    EXPECT_EQ(Map().ActiveDtmfGrammar(), nullptr);
    EXPECT_TRUE(log.Has("Speech Grammar Already Specified <ch1@koral>", APT_PRIO_WARNING));
    EXPECT_NE(Map().Find("transcribe"), nullptr) << "builtin grammars stay registered by name";
    EXPECT_EQ(Map().Find("yesno"), nullptr);

    settings.skip_unsupported_grammars = false;
    map.reset();
    EXPECT_EQ(Activate(kUriList, nullptr, "builtin:speech/transcribe\nbuiltin:speech/yesno"),
              MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
}

TEST_F(GrammarMapTest, BuiltinSpeechNames) {
    ASSERT_EQ(Activate(kUriList, nullptr, "builtin:grammar/yesno"), MRCP_STATUS_CODE_SUCCESS);
    EXPECT_EQ(Map().ActiveSpeechGrammar()->speech_context, &yesno);
    EXPECT_EQ(Map().ActiveSpeechGrammar()->type, "grammar/");

    ASSERT_EQ(Activate(kUriList, nullptr, "builtin:speech/nothing"), MRCP_STATUS_CODE_SUCCESS);
    EXPECT_TRUE(log.Has("No Such Builtin Speech Grammar [nothing] <ch1@koral>", APT_PRIO_WARNING));
    EXPECT_EQ(Map().ActiveSpeechGrammar(), nullptr);

    settings.skip_unsupported_grammars = false;
    map.reset();
    EXPECT_EQ(Activate(kUriList, nullptr, "builtin:speech/nothing"),
              MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
}

TEST_F(GrammarMapTest, ParametersDoNotChangeTheSharedContext) {
    ASSERT_EQ(Activate(kUriList, nullptr, "builtin:speech/yesno?language=fr-FR"),
              MRCP_STATUS_CODE_SUCCESS);
    SpeechContext *own = Map().ActiveSpeechGrammar()->speech_context;
    ASSERT_NE(own, nullptr);
    EXPECT_NE(own, &yesno);
    EXPECT_FALSE(own->configured);
    EXPECT_EQ(own->language, "fr-FR");
    EXPECT_EQ(own->scope, SpeechContext::SCOPE_STRICT);
    EXPECT_EQ(own->phrases.size(), 1u);
    EXPECT_EQ(yesno.language, "en-US");

    ASSERT_EQ(Activate(kUriList, nullptr, "builtin:speech/transcribe?language=de-DE"),
              MRCP_STATUS_CODE_SUCCESS);
    own = Map().ActiveSpeechGrammar()->speech_context;
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->name, "transcribe");
    EXPECT_EQ(own->language, "de-DE");
    EXPECT_TRUE(own->phrases.empty());
}

TEST_F(GrammarMapTest, DtmfLengthsOnlyWithParameters) {
    ASSERT_EQ(Activate(kUriList, nullptr, "builtin:dtmf/any?length=4"), MRCP_STATUS_CODE_SUCCESS);
    GrammarRef *dtmf = Map().ActiveDtmfGrammar();
    ASSERT_NE(dtmf, nullptr);
    ASSERT_NE(dtmf->dtmf_context, nullptr);
    EXPECT_EQ(dtmf->dtmf_context->length, 4u);
    EXPECT_EQ(dtmf->dtmf_context->min_length, 0u);

    // Without parameters nothing is there to hand to the detector, which keeps its lengths.
    ASSERT_EQ(Activate(kUriList, nullptr, "builtin:dtmf/any"), MRCP_STATUS_CODE_SUCCESS);
    ASSERT_NE(Map().ActiveDtmfGrammar(), nullptr);
    EXPECT_EQ(Map().ActiveDtmfGrammar()->dtmf_context, nullptr);

    ASSERT_EQ(Activate(kUriList, nullptr, "builtin:dtmf/a\nbuiltin:dtmf/b"),
              MRCP_STATUS_CODE_SUCCESS);
    EXPECT_EQ(Map().ActiveDtmfGrammar()->name, "a");
    EXPECT_TRUE(log.Has("DTMF Grammar Already Specified <ch1@koral>", APT_PRIO_WARNING));
}

TEST_F(GrammarMapTest, SessionLines) {
    ASSERT_EQ(Define(kXml, "colors", kColors), MRCP_STATUS_CODE_SUCCESS);
    ASSERT_EQ(Define(kUriList, "pin", "builtin:dtmf/pin?maxlength=6"), MRCP_STATUS_CODE_SUCCESS);
    ASSERT_EQ(Activate(kUriList, nullptr, "session:colors\nsession:pin"), MRCP_STATUS_CODE_SUCCESS);
    EXPECT_EQ(Map().ActiveSpeechGrammar(), Map().Find("colors"));
    EXPECT_EQ(Map().ActiveDtmfGrammar(), Map().Find("pin"));

    EXPECT_EQ(Activate(kUriList, nullptr, "session:nothing"), MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE);
    EXPECT_TRUE(log.Has("No Such Session Grammar [nothing] <ch1@koral>", APT_PRIO_WARNING));
    EXPECT_EQ(Activate(kUriList, nullptr, "session:"), MRCP_STATUS_CODE_MISSING_PARAM);

    EXPECT_EQ(Activate(kUriList, nullptr, "session:colors\nbuiltin:speech/transcribe"),
              MRCP_STATUS_CODE_SUCCESS);
    EXPECT_EQ(Map().ActiveSpeechGrammar(), Map().Find("colors"));
    settings.skip_unsupported_grammars = false;
    map.reset();
    ASSERT_EQ(Define(kXml, "colors", kColors), MRCP_STATUS_CODE_SUCCESS);
    EXPECT_EQ(Activate(kUriList, nullptr, "session:colors\nsession:colors"),
              MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
}

TEST_F(GrammarMapTest, DocumentBodiesAreDefinedAndActivated) {
    ASSERT_EQ(Activate(kXml, "c1", kColors), MRCP_STATUS_CODE_SUCCESS);
    EXPECT_EQ(Map().ActiveSpeechGrammar(), Map().Find("c1"));
    EXPECT_EQ(Activate(kXml, "", kColors), MRCP_STATUS_CODE_MISSING_PARAM);
    EXPECT_TRUE(log.Has("Missing Content-Id <ch1@koral>", APT_PRIO_WARNING));
    EXPECT_EQ(Activate(kXml, "c2", "<speech-context/>"), MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
    EXPECT_EQ(Map().ActiveSpeechGrammar(), nullptr);

    ASSERT_EQ(Activate(kSrgs, "d1", "<grammar mode='dtmf'/>"), MRCP_STATUS_CODE_SUCCESS);
    EXPECT_EQ(Map().ActiveDtmfGrammar(), Map().Find("d1"));
    EXPECT_EQ(Map().ActiveSpeechGrammar(), nullptr);
    EXPECT_EQ(Activate(nullptr, "d1", ""), MRCP_STATUS_CODE_MISSING_PARAM);
    EXPECT_TRUE(log.Has("Missing Content-Type <ch1@koral>", APT_PRIO_WARNING));
    EXPECT_EQ(Activate("text/plain", "d1", "x"), MRCP_STATUS_CODE_SUCCESS);
    EXPECT_EQ(Map().ActiveDtmfGrammar(), nullptr);
}

TEST_F(GrammarMapTest, ActiveGrammarsOutliveTheirReplacement) {
    ASSERT_EQ(Define(kXml, "colors", kColors), MRCP_STATUS_CODE_SUCCESS);
    ASSERT_EQ(Activate(kUriList, nullptr, "session:colors"), MRCP_STATUS_CODE_SUCCESS);
    GrammarRef *active = Map().ActiveSpeechGrammar();
    // A DEFINE-GRAMMAR during the recognition replaces, then removes, the grammar in use.
    ASSERT_EQ(Define(kXml, "colors", "<speech-context><phrase>x</phrase></speech-context>"),
              MRCP_STATUS_CODE_SUCCESS);
    ASSERT_EQ(Define(nullptr, "colors", ""), MRCP_STATUS_CODE_SUCCESS);
    EXPECT_EQ(Map().ActiveSpeechGrammar(), active);
    bool complete = false;
    EXPECT_TRUE(active->speech_context->FindPhrase("red", complete));

    // Within one body: the DTMF builtin of the same name replaces the active speech grammar.
    ASSERT_EQ(Activate(kUriList, nullptr, "builtin:speech/transcribe\nbuiltin:dtmf/transcribe"),
              MRCP_STATUS_CODE_SUCCESS);
    ASSERT_NE(Map().ActiveSpeechGrammar(), nullptr);
    EXPECT_EQ(Map().ActiveSpeechGrammar()->category, GrammarRef::CATEGORY_SPEECH);
    EXPECT_EQ(Map().ActiveDtmfGrammar(), Map().Find("transcribe"));
    Map().ClearActive();
    EXPECT_EQ(Map().ActiveSpeechGrammar(), nullptr);
    EXPECT_EQ(Map().Size(), 1u);
}

TEST_F(GrammarMapTest, ClosingKeepsConfiguredContexts) {
    ASSERT_EQ(Activate(kUriList, nullptr, "builtin:speech/yesno"), MRCP_STATUS_CODE_SUCCESS);
    ASSERT_EQ(Define(kSrgs, "g",
                     "<grammar root='yesno'><meta name='scope' content='builtin'/>"
                     "</grammar>"),
              MRCP_STATUS_CODE_SUCCESS);
    EXPECT_EQ(Map().Find("g")->speech_context, &yesno);
    map.reset();
    bool complete = false;
    EXPECT_TRUE(yesno.FindPhrase("yes", complete));
}

}  // namespace
