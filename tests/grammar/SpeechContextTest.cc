#include <gtest/gtest.h>

#include "KoralRxLog.h"
#include "KoralRxSpeechContext.h"
#include "KoralTest/AprPool.h"
#include "KoralTest/LogCapture.h"

using namespace KORAL;
using KoralTest::AprPool;
using KoralTest::LogCapture;

namespace {

class SpeechContextTest : public ::testing::Test {
  protected:
    // Loads a configured context from a <speech-context> element.
    bool Load(const std::string &xml) {
        const apr_xml_elem *root = pool.Xml(xml);
        EXPECT_NE(root, nullptr) << xml;
        return root && context.Load(root);
    }

    AprPool pool;
    LogCapture log;
    SpeechContext context;
};

TEST_F(SpeechContextTest, PhraseMatchIsExactApartFromCase) {
    context.AddPhrase("Yes Please", "");
    bool complete = false;
    EXPECT_TRUE(context.FindPhrase("yes please", complete));
    EXPECT_TRUE(context.FindPhrase("YES PLEASE", complete));
    EXPECT_FALSE(context.FindPhrase("yes please.", complete));
    EXPECT_FALSE(context.FindPhrase("yes  please", complete));
    EXPECT_FALSE(context.FindPhrase(" yes please", complete));
}

TEST_F(SpeechContextTest, CompleteOnlyWhenNoLongerPhraseBeginsWithTheText) {
    context.AddPhrase("one", "");
    context.AddPhrase("one two", "");
    bool complete = true;
    EXPECT_TRUE(context.FindPhrase("one", complete));
    EXPECT_FALSE(complete);
    complete = false;
    EXPECT_TRUE(context.FindPhrase("One Two", complete));
    EXPECT_TRUE(complete);
    complete = true;
    EXPECT_FALSE(context.FindPhrase("two", complete));
    EXPECT_TRUE(complete) << "a miss leaves the flag alone";

    // A byte prefix counts, not only whole words.
    context.AddPhrase("oneself", "");
    complete = true;
    EXPECT_TRUE(context.FindPhrase("one two", complete));
    EXPECT_TRUE(complete);
    SpeechContext other;
    other.AddPhrase("on", "");
    other.AddPhrase("one", "");
    EXPECT_TRUE(other.FindPhrase("on", complete));
    EXPECT_FALSE(complete);
}

TEST_F(SpeechContextTest, ValueIsTheTagElseThePhraseAsWritten) {
    ASSERT_TRUE(
        Load("<speech-context id='c'><phrase tag='YES'>Yes please</phrase>"
             "<phrase>No Thanks</phrase></speech-context>"));
    EXPECT_TRUE(context.tagged);
    std::string value = "unchanged";
    EXPECT_TRUE(context.FindPhrase("yes please", value));
    EXPECT_EQ(value, "YES");
    EXPECT_TRUE(context.FindPhrase("no thanks", value));
    EXPECT_EQ(value, "No Thanks");
    value = "unchanged";
    EXPECT_FALSE(context.FindPhrase("maybe", value));
    EXPECT_EQ(value, "unchanged");
}

TEST_F(SpeechContextTest, FirstOfTwoCaseVariantsIsKept) {
    ASSERT_TRUE(Load("<speech-context id='c'><phrase tag='first'>Hello</phrase></speech-context>"));
    const apr_xml_elem *second = pool.Xml("<phrase tag='second'>HELLO</phrase>");
    EXPECT_FALSE(context.LoadPhrase(second));
    ASSERT_EQ(context.phrases.size(), 1u);
    EXPECT_EQ(context.phrases.begin()->first, "hello");
    EXPECT_EQ(context.phrases.begin()->second.phrase, "Hello");
    EXPECT_EQ(context.phrases.begin()->second.tag, "first");
}

TEST_F(SpeechContextTest, OnlyAsciiLettersAreLowerCased) {
    context.AddPhrase("\xC3\x89T\xC3\x89", "");  // ÉTÉ: the multibyte letters stay
    EXPECT_EQ(context.phrases.begin()->first, "\xC3\x89t\xC3\x89");
    bool complete = false;
    EXPECT_TRUE(context.FindPhrase("\xC3\x89t\xC3\x89", complete));
}

TEST_F(SpeechContextTest, PhraseTextIsJoinedAndKeptAsItStands) {
    ASSERT_TRUE(
        Load("<speech-context id='c'><phrase> spaced </phrase>"
             "<phrase>salt &amp; pepper</phrase><phrase/><phrase></phrase>"
             "<phrase><b/>after a child</phrase></speech-context>"));
    EXPECT_EQ(context.phrases.size(), 2u);
    EXPECT_TRUE(context.phrases.count(" spaced "));
    EXPECT_TRUE(context.phrases.count("salt & pepper"));
}

// Speech-complete follows the scope unless given; a bad value is not
// "given" and warns.
struct ScopeCase {
    const char *m_Attrs;
    SpeechContext::Scope m_Scope;
    bool m_SpeechComplete;
    const char *m_Warning;  // null: none
};
void PrintTo(const ScopeCase &c, std::ostream *os) { *os << c.m_Attrs; }

class SpeechContextScopeTest : public SpeechContextTest,
                               public ::testing::WithParamInterface<ScopeCase> {};

TEST_P(SpeechContextScopeTest, SpeechCompleteFollowsScopeUnlessGiven) {
    const ScopeCase &c = GetParam();
    ASSERT_TRUE(Load(std::string("<speech-context id='x' ") + c.m_Attrs + "/>"));
    EXPECT_EQ(context.scope, c.m_Scope);
    EXPECT_EQ(context.speech_complete, c.m_SpeechComplete);
    EXPECT_EQ(log.CountAt(APT_PRIO_WARNING), c.m_Warning ? 1u : 0u);
    if (c.m_Warning) {
        EXPECT_TRUE(log.Has(c.m_Warning, APT_PRIO_WARNING));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scopes, SpeechContextScopeTest,
    ::testing::Values(
        ScopeCase{"", SpeechContext::SCOPE_HINT, false, nullptr},
        ScopeCase{"scope='strict'", SpeechContext::SCOPE_STRICT, true, nullptr},
        ScopeCase{"scope='STRICT'", SpeechContext::SCOPE_STRICT, true, nullptr},
        ScopeCase{"scope='hint'", SpeechContext::SCOPE_HINT, false, nullptr},
        ScopeCase{"scope='strict' speech-complete='false'", SpeechContext::SCOPE_STRICT, false,
                  nullptr},
        ScopeCase{"speech-complete='TRUE' scope='hint'", SpeechContext::SCOPE_HINT, true, nullptr},
        ScopeCase{"scope='strict' speech-complete='maybe'", SpeechContext::SCOPE_STRICT, true,
                  "Unexpected Value <maybe> for Boolean Attribute <speech-complete>"},
        ScopeCase{"scope='builtin'", SpeechContext::SCOPE_HINT, false,
                  "Unexpected Value <builtin> for Attribute <scope>"}));

TEST_F(SpeechContextTest, AttributesAreReadInDocumentOrder) {
    ASSERT_TRUE(
        Load("<speech-context ID='first' language='de-DE' Scope='hint' SCOPE='strict' "
             "id='second' colour='red'/>"));
    EXPECT_EQ(context.name, "second");
    EXPECT_EQ(context.language, "de-DE");
    EXPECT_EQ(context.scope, SpeechContext::SCOPE_STRICT);
    EXPECT_TRUE(context.configured);
    EXPECT_TRUE(context.phrases.empty()) << "a context without phrases loads all the same";
    EXPECT_TRUE(log.Has("Load Speech Context Attribute: ID = first", APT_PRIO_DEBUG));
    EXPECT_TRUE(log.Has("Unknown Speech Context Attribute <colour>", APT_PRIO_WARNING));
    std::vector<std::string> order;
    for (const KoralTest::LogLine &line : log.Lines())
        if (line.message.rfind("Load Speech Context Attribute: ", 0) == 0)
            order.push_back(line.message.substr(31, 2));
    EXPECT_EQ(order, (std::vector<std::string>{"ID", "la", "Sc", "SC", "id", "co"}));
}

TEST_F(SpeechContextTest, DisabledOrAnonymousContextsDoNotLoad) {
    EXPECT_FALSE(
        Load("<speech-context id='off' enable='FALSE'><phrase>a</phrase></speech-context>"));
    EXPECT_TRUE(log.Has("Skip Disabled Speech Context <off>", APT_PRIO_DEBUG));
    EXPECT_FALSE(context.configured);

    SpeechContext anonymous;
    EXPECT_FALSE(anonymous.Load(pool.Xml("<speech-context><phrase>a</phrase></speech-context>")));
    EXPECT_TRUE(log.Has("Missing Speech Context Id", APT_PRIO_WARNING));

    SpeechContext odd;
    EXPECT_TRUE(odd.Load(pool.Xml("<speech-context id='x' enable='nope'/>")));
    EXPECT_TRUE(
        log.Has("Unexpected Value <nope> for Boolean Attribute <enable>", APT_PRIO_WARNING));
}

TEST_F(SpeechContextTest, UnknownChildrenAndAttributesAreSkipped) {
    apt_log_source_t *saved = KORAL_PLUGIN;
    apt_log_source_assign("KORAL-PLUGIN", &KORAL_PLUGIN);
    EXPECT_TRUE(
        Load("<speech-context id='c'><word>x</word>"
             "<PHRASE Tag='t' weight='2'>Go</PHRASE></speech-context>"));
    KORAL_PLUGIN = saved;
    EXPECT_EQ(log.SourceOf("Unknown Element <word> in Speech Context <c>"), "HOST");
    EXPECT_EQ(log.SourceOf("Unknown Phrase Attribute <weight>"), "KORAL-PLUGIN");
    EXPECT_EQ(log.SourceOf("Add Phrase [Go] to Speech Context [c]"), "KORAL-PLUGIN");
    EXPECT_TRUE(log.Has("Load Phrase Attribute: Tag = t", APT_PRIO_DEBUG));
    std::string value;
    EXPECT_TRUE(context.FindPhrase("go", value));
    EXPECT_EQ(value, "t");
}

TEST_F(SpeechContextTest, SrgsRootRuleItemsBecomePhrases) {
    const apr_xml_elem *grammar = pool.Xml(
        "<grammar root='main'>"
        "<rule id='other'><one-of><item>ignored</item></one-of></rule>"
        "<rule id='main'>"
        "  <one-of>"
        "    <item> padded </item>"
        "    <item>Red<tag>r1</tag><tag></tag><tag>r2</tag></item>"
        "    <item><tag>b</tag>Blue</item>"
        "    <item>RED<tag>dup</tag></item>"
        "    <item><one-of><item>nested</item></one-of></item>"
        "    <ITEM>Green<tag>g</tag></ITEM>"
        "  </one-of>"
        "  <item>outside one-of</item>"
        "</rule>"
        "<rule><one-of><item>no id</item></one-of></rule>"
        "</grammar>");
    ASSERT_TRUE(grammar);
    EXPECT_TRUE(context.LoadSrgsRules(grammar, "main"));
    ASSERT_EQ(context.phrases.size(), 3u);
    EXPECT_TRUE(context.phrases.count(" padded "));
    EXPECT_EQ(context.phrases.at("red").phrase, "Red");
    EXPECT_EQ(context.phrases.at("red").tag, "r2") << "the last non-empty tag wins";
    EXPECT_EQ(context.phrases.at("green").tag, "g");
    EXPECT_FALSE(context.tagged) << "SRGS tags do not mark the context";

    SpeechContext unnamed;
    unnamed.LoadSrgsRules(grammar, "");
    EXPECT_EQ(unnamed.phrases.size(), 1u) << "a missing root matches rules without id";
    EXPECT_TRUE(unnamed.phrases.count("no id"));
}

TEST_F(SpeechContextTest, LanguageParameterMatchesByPrefix) {
    context.SetParams({{"Language", "fr-FR"}, {"languageX", "de-DE"}, {"lang", "it-IT"}});
    EXPECT_EQ(context.language, "de-DE") << "the last key in order wins";
    SpeechContext other;
    other.language = "en-US";
    other.SetParams({{"length", "4"}});
    EXPECT_EQ(other.language, "en-US");
}

TEST(DtmfContextTest, ParametersSetDigitCounts) {
    LogCapture log;
    DtmfContext dtmf;
    EXPECT_EQ(dtmf.length, 0u);
    dtmf.SetParams({{"minlength", "2"}, {"maxlength", "5"}});
    EXPECT_EQ(dtmf.min_length, 2u);
    EXPECT_EQ(dtmf.max_length, 5u);
    EXPECT_EQ(dtmf.length, 0u);

    DtmfContext prefixed;
    prefixed.SetParams({{"lengthy", " +7x"}, {"MINLENGTH", "abc"}, {"other", "9"}});
    EXPECT_EQ(prefixed.length, 7u);
    EXPECT_EQ(prefixed.min_length, 0u) << "no digits read as 0";
    EXPECT_EQ(prefixed.max_length, 0u);

    DtmfContext negative;
    negative.SetParams({{"length", "4"}, {"length2", "-3"}});
    EXPECT_EQ(negative.length, 4u) << "a negative count does not wrap";
    EXPECT_TRUE(log.Has("Unexpected Value <-3> for DTMF Parameter <length2>", APT_PRIO_WARNING));
}

}  // namespace
