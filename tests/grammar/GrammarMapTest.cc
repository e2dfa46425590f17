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

// Definitions by content type. Define, replace and remove, a missing
// Content-Id and an unsupported type are driven through the host by the
// DEFINE-GRAMMAR tests; what they cannot reach is here.
TEST_F(GrammarMapTest, Definitions) {
    ASSERT_EQ(Define(kXml, "colors", kColors), MRCP_STATUS_CODE_SUCCESS);
    EXPECT_TRUE(log.Has("Add Speech Context [colors] <ch1@koral>", APT_PRIO_DEBUG));
    EXPECT_EQ(Map().Find("colors")->speech_context->phrases.size(), 2u);
    // A failed definition leaves the earlier one in place.
    EXPECT_EQ(Define(kXml, "colors", "<speech-context/>"),
              MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
    EXPECT_EQ(Map().Find("colors")->speech_context->phrases.size(), 2u);
    EXPECT_EQ(Define(nullptr, "c", kColors), MRCP_STATUS_CODE_MISSING_PARAM);
    EXPECT_TRUE(log.Has("Missing Content-Type <ch1@koral>", APT_PRIO_WARNING));
    // Content types compare exactly.
    for (const char *type : {"Text/URI-List", "application/srgs", "text/plain"})
        EXPECT_EQ(Define(type, "g", "builtin:speech/transcribe"), MRCP_STATUS_CODE_SUCCESS) << type;
    EXPECT_TRUE(log.Has("Unsupported Content Type [Text/URI-List] <ch1@koral>", APT_PRIO_WARNING));
    EXPECT_EQ(Map().Find("g"), nullptr);

    ASSERT_EQ(Define(kSrgs, "g",
                     "<grammar root='r'><rule id='r'><one-of><item>a</item></one-of>"
                     "</rule></grammar>"),
              MRCP_STATUS_CODE_SUCCESS);
    EXPECT_TRUE(log.Has("Add Speech Grammar [g] <ch1@koral>", APT_PRIO_DEBUG));
    ASSERT_EQ(Define("application/grammar+xml", "g", "<grammar mode='dtmf'/>"),
              MRCP_STATUS_CODE_SUCCESS);
    EXPECT_TRUE(log.Has("Remove Existing DTMF Grammar [g] <ch1@koral>", APT_PRIO_DEBUG));
    EXPECT_TRUE(log.Has("Add DTMF Grammar [g] <ch1@koral>", APT_PRIO_DEBUG));
    EXPECT_EQ(Define(kSrgs, "g", "<grammar mode='both'/>"),
              MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
    EXPECT_EQ(Map().Find("g")->category, GrammarRef::CATEGORY_DTMF);

    ASSERT_EQ(Define(kUriList, "g", "builtin:speech/yesno\nbuiltin:dtmf/pin?length=4"),
              MRCP_STATUS_CODE_SUCCESS);
    EXPECT_EQ(Map().Size(), 2u);
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

    settings.accept_srgs = false;
    settings.skip_unsupported_grammars = false;
    map.reset();
    EXPECT_EQ(Activate("application/grammar+xml", "g", "<grammar/>"),
              MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
    EXPECT_EQ(Define("text/plain", "g", "x"), MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
    EXPECT_EQ(Define(kUriList, "h", "builtin:speech/unknown\nbuiltin:speech/transcribe"),
              MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
    EXPECT_EQ(Define(kUriList, "h", "session:g"), MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
    EXPECT_EQ(Define(kUriList, "h", "builtin:speech/"), MRCP_STATUS_CODE_MISSING_PARAM);
    EXPECT_EQ(Map().Size(), 0u);
}

// Builtin lines of a RECOGNIZE body: the first speech and first DTMF line
// win; parameters give a grammar its own copy of a configured context and
// DTMF digit counts; unknown names are skipped, or refused when not skipping.
TEST_F(GrammarMapTest, BuiltinLines) {
    ASSERT_EQ(Activate(kUriList, nullptr, "builtin:speech/transcribe\nbuiltin:speech/yesno"),
              MRCP_STATUS_CODE_SUCCESS);
    ASSERT_NE(Map().ActiveSpeechGrammar(), nullptr);
    EXPECT_EQ(Map().ActiveSpeechGrammar()->name, "transcribe");
    EXPECT_EQ(Map().ActiveSpeechGrammar()->ref_type, GrammarRef::REF_BUILTIN);
    EXPECT_EQ(Map().ActiveDtmfGrammar(), nullptr);
    EXPECT_TRUE(log.Has("Speech Grammar Already Specified <ch1@koral>", APT_PRIO_WARNING));
    EXPECT_NE(Map().Find("transcribe"), nullptr) << "builtin grammars stay registered by name";
    EXPECT_EQ(Map().Find("yesno"), nullptr);

    ASSERT_EQ(Activate(kUriList, nullptr, "builtin:grammar/yesno"), MRCP_STATUS_CODE_SUCCESS);
    EXPECT_EQ(Map().ActiveSpeechGrammar()->speech_context, &yesno);
    EXPECT_EQ(Map().ActiveSpeechGrammar()->type, "grammar/");
    ASSERT_EQ(Activate(kUriList, nullptr, "builtin:speech/nothing"), MRCP_STATUS_CODE_SUCCESS);
    EXPECT_TRUE(log.Has("No Such Builtin Speech Grammar [nothing] <ch1@koral>", APT_PRIO_WARNING));
    EXPECT_EQ(Map().ActiveSpeechGrammar(), nullptr);

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

    settings.skip_unsupported_grammars = false;
    map.reset();
    EXPECT_EQ(Activate(kUriList, nullptr, "builtin:speech/transcribe\nbuiltin:speech/yesno"),
              MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
    EXPECT_EQ(Activate(kUriList, nullptr, "builtin:speech/nothing"),
              MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE);
}

// Session lines select defined grammars; a grammar in use outlives its
// replacement and removal.
TEST_F(GrammarMapTest, SessionLinesAndGrammarsInUse) {
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

// Document bodies in a RECOGNIZE are defined and activated at once; closing
// the map leaves the configured contexts its grammars shared.
TEST_F(GrammarMapTest, DocumentBodiesAndClosing) {
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
