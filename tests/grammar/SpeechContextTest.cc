#include <gtest/gtest.h>

#include "KoralRxGrammar.h"
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

// Phrases match whole texts in any ASCII case; the value is the tag, else
// the phrase as written; a match is complete when no longer phrase begins
// with the text (as bytes, not words); the first of two case variants stays.
TEST_F(SpeechContextTest, Phrases) {
    ASSERT_TRUE(Load(
        "<speech-context id='c'><phrase tag='YES'>Yes Please</phrase>"
        "<phrase>No Thanks</phrase><phrase tag='dup'>YES PLEASE</phrase>"
        "<phrase> spaced </phrase><phrase>salt &amp; pepper</phrase><phrase/><phrase></phrase>"
        "<phrase><b/>after a child</phrase><phrase>\xC3\x89T\xC3\x89</phrase></speech-context>"));
    EXPECT_TRUE(context.tagged);
    EXPECT_EQ(context.phrases.size(), 5u);
    std::string value = "unchanged";
    for (const char *miss : {"yes please.", "yes  please", " yes please", "maybe", "spaced"})
        EXPECT_FALSE(context.FindPhrase(miss, value)) << miss;
    EXPECT_EQ(value, "unchanged");
    EXPECT_TRUE(context.FindPhrase("YES PLEASE", value));
    EXPECT_EQ(value, "YES");
    EXPECT_TRUE(context.FindPhrase("no thanks", value));
    EXPECT_EQ(value, "No Thanks");
    EXPECT_TRUE(context.FindPhrase(" spaced ", value));
    EXPECT_TRUE(context.FindPhrase("salt & pepper", value));
    // Only ASCII letters are lower-cased: the multibyte ones stay.
    EXPECT_TRUE(context.phrases.count("\xC3\x89t\xC3\x89"));

    SpeechContext prefixes;
    for (const char *phrase : {"one", "one two", "oneself", "on"}) prefixes.AddPhrase(phrase, "");
    bool complete = true;
    EXPECT_TRUE(prefixes.FindPhrase("one", complete));
    EXPECT_FALSE(complete);
    EXPECT_TRUE(prefixes.FindPhrase("On", complete));
    EXPECT_FALSE(complete);
    EXPECT_TRUE(prefixes.FindPhrase("One Two", complete));
    EXPECT_TRUE(complete);
    complete = false;
    EXPECT_FALSE(prefixes.FindPhrase("two", complete));
    EXPECT_FALSE(complete) << "a miss leaves the flag alone";
}

// Speech-complete follows the scope unless given; a bad value is not
// "given" and warns.
TEST_F(SpeechContextTest, SpeechCompleteFollowsScopeUnlessGiven) {
    const auto kStrict = SpeechContext::SCOPE_STRICT, kHint = SpeechContext::SCOPE_HINT;
    const struct {
        const char *m_Attrs;
        SpeechContext::Scope m_Scope;
        bool m_SpeechComplete;
        const char *m_Warning;  // null: none
    } cases[] = {
        {"", kHint, false, nullptr},
        {"scope='strict'", kStrict, true, nullptr},
        {"scope='STRICT'", kStrict, true, nullptr},
        {"scope='hint'", kHint, false, nullptr},
        {"scope='strict' speech-complete='false'", kStrict, false, nullptr},
        {"speech-complete='TRUE' scope='hint'", kHint, true, nullptr},
        {"scope='strict' speech-complete='maybe'", kStrict, true,
         "Unexpected Value <maybe> for Boolean Attribute <speech-complete>"},
        {"scope='builtin'", kHint, false, "Unexpected Value <builtin> for Attribute <scope>"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.m_Attrs);
        log.Clear();
        SpeechContext loaded;
        ASSERT_TRUE(
            loaded.Load(pool.Xml(std::string("<speech-context id='x' ") + c.m_Attrs + "/>")));
        EXPECT_EQ(loaded.scope, c.m_Scope);
        EXPECT_EQ(loaded.speech_complete, c.m_SpeechComplete);
        EXPECT_EQ(log.CountAt(APT_PRIO_WARNING), c.m_Warning ? 1u : 0u);
        EXPECT_TRUE(!c.m_Warning || log.Has(c.m_Warning, APT_PRIO_WARNING)) << c.m_Warning;
    }
}

// Attributes are read in document order, the last of a name winning;
// unknown attributes and children are skipped with a warning; disabled or
// anonymous contexts do not load.
TEST_F(SpeechContextTest, AttributesChildrenAndRefusals) {
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

    SpeechContext go;
    apt_log_source_t *saved = KORAL_PLUGIN;
    apt_log_source_assign("KORAL-PLUGIN", &KORAL_PLUGIN);
    EXPECT_TRUE(
        go.Load(pool.Xml("<speech-context id='c'><word>x</word>"
                         "<PHRASE Tag='t' weight='2'>Go</PHRASE></speech-context>")));
    KORAL_PLUGIN = saved;
    EXPECT_EQ(log.SourceOf("Unknown Element <word> in Speech Context <c>"), "HOST");
    EXPECT_EQ(log.SourceOf("Unknown Phrase Attribute <weight>"), "KORAL-PLUGIN");
    EXPECT_EQ(log.SourceOf("Add Phrase [Go] to Speech Context [c]"), "KORAL-PLUGIN");
    EXPECT_TRUE(log.Has("Load Phrase Attribute: Tag = t", APT_PRIO_DEBUG));
    std::string value;
    EXPECT_TRUE(go.FindPhrase("go", value));
    EXPECT_EQ(value, "t");

    SpeechContext off;
    EXPECT_FALSE(off.Load(
        pool.Xml("<speech-context id='off' enable='FALSE'><phrase>a</phrase></speech-context>")));
    EXPECT_TRUE(log.Has("Skip Disabled Speech Context <off>", APT_PRIO_DEBUG));
    EXPECT_FALSE(off.configured);

    SpeechContext anonymous;
    EXPECT_FALSE(anonymous.Load(pool.Xml("<speech-context><phrase>a</phrase></speech-context>")));
    EXPECT_TRUE(log.Has("Missing Speech Context Id", APT_PRIO_WARNING));

    SpeechContext odd;
    EXPECT_TRUE(odd.Load(pool.Xml("<speech-context id='x' enable='nope'/>")));
    EXPECT_TRUE(
        log.Has("Unexpected Value <nope> for Boolean Attribute <enable>", APT_PRIO_WARNING));
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

// Grammar parameters: the language by key prefix (the last key in order
// wins), DTMF digit counts from the digits a value starts with; a grammar
// frees the contexts it owns, never configured ones.
TEST_F(SpeechContextTest, ParametersAndOwnership) {
    context.SetParams({{"Language", "fr-FR"}, {"languageX", "de-DE"}, {"lang", "it-IT"}});
    EXPECT_EQ(context.language, "de-DE") << "the last key in order wins";
    SpeechContext other;
    other.language = "en-US";
    other.SetParams({{"length", "4"}});
    EXPECT_EQ(other.language, "en-US");

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
