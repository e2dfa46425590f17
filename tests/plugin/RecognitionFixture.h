// Recognitions end to end: vantor-host loads the plugin, which talks to the
// local speech service over TLS with a throwaway CA. A test writes a session
// script, runs it with --json output and checks every message the plugin sent.
#pragma once

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "KoralTest/EventLogReader.h"
#include "KoralTest/Speech.h"
#include "KoralTest/SpeechServiceProcess.h"
#include "KoralTest/TestCerts.h"
#include "PluginFixture.h"

namespace KoralTest {

// One message the plugin sent, as vantor-host printed it.
struct Msg {
    double t = 0;
    std::string channel;
    bool event = false;
    std::string name;  // event name, or the method a response answers
    int request_id = 0;
    int status = -1;
    std::string state;
    std::map<std::string, std::string> headers;
    std::string body;

    std::string Header(const std::string &name) const {
        auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
    bool Has(const std::string &name) const { return headers.count(name) != 0; }
    // The Completion-Cause number, -1 without one.
    int Cause() const {
        std::string value = Header("Completion-Cause");
        return value.empty() ? -1 : std::stoi(value.substr(0, 3));
    }
};

inline std::vector<Msg> ParseMessages(const std::string &out) {
    std::vector<Msg> messages;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t end = out.find('\n', pos);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(pos, end - pos);
        pos = end + 1;
        if (line.empty() || line[0] != '{') continue;
        rapidjson::Document doc;
        doc.Parse(line.c_str());
        if (doc.HasParseError() || !doc.IsObject()) continue;
        Msg m;
        m.t = doc["t"].GetDouble();
        m.channel = doc["channel"].GetString();
        m.event = std::string(doc["kind"].GetString()) == "event";
        m.name = doc["name"].GetString();
        m.request_id = doc["request_id"].GetInt();
        if (doc["status"].IsInt()) m.status = doc["status"].GetInt();
        m.state = doc["state"].GetString();
        for (auto &h : doc["headers"].GetObject())
            m.headers[h.name.GetString()] = h.value.GetString();
        m.body = doc["body"].GetString();
        messages.push_back(m);
    }
    return messages;
}

// Script lines: a RECOGNIZE with a text/uri-list body naming one grammar,
// then the wait for its response.
inline std::string Recognize(const std::string &channel, int id, const std::string &grammar,
                             const std::string &headers = "",
                             const std::string &expect = "state=IN-PROGRESS") {
    return "send " + channel + " RECOGNIZE " + std::to_string(id) +
           "\nContent-Type: text/uri-list\n" + headers + "\n" + grammar + "\n.\nwait " + channel +
           " response " + std::to_string(id) + " " + expect + "\n";
}

// A run of vantor-host with its messages.
struct Session {
    HostRun run;
    std::vector<Msg> messages;

    // Messages of one channel, in order.
    std::vector<Msg> Of(const std::string &channel) const {
        std::vector<Msg> out;
        for (const Msg &m : messages)
            if (m.channel == channel) out.push_back(m);
        return out;
    }
    // What the plugin answered to the request with this id on a channel:
    // the response first, then the events of that request, in order.
    std::vector<Msg> Answer(const std::string &channel, int request_id) const {
        std::vector<Msg> out;
        for (const Msg &m : Of(channel))
            if (m.request_id == request_id) out.push_back(m);
        return out;
    }
    bool LogHas(const std::string &text) const { return run.log.find(text) != std::string::npos; }
};

// Every accepted RECOGNIZE of a channel ends in exactly one RECOGNITION-COMPLETE
// or one held STOP response, and nothing of it follows that end.
inline void ExpectOneEndPerRecognition(const Session &session, const std::string &channel) {
    int open = 0;  // request id of the recognition in progress
    for (const Msg &m : session.Of(channel)) {
        if (!m.event && m.name == "RECOGNIZE" && m.state == "IN-PROGRESS") {
            EXPECT_EQ(open, 0) << "RECOGNIZE " << m.request_id << " accepted while " << open
                               << " runs";
            open = m.request_id;
        } else if (m.event && m.name == "RECOGNITION-COMPLETE") {
            EXPECT_EQ(m.request_id, open) << "RECOGNITION-COMPLETE without a recognition";
            open = 0;
        } else if (!m.event && m.name == "STOP" && open != 0) {
            open = 0;
        } else if (m.event) {
            EXPECT_EQ(m.request_id, open) << m.name << " outside its recognition";
        }
    }
    EXPECT_EQ(open, 0) << "RECOGNIZE " << open << " never ended";
}

class RecognitionFixture : public PluginFixture {
  protected:
    static void SetUpTestSuite() {
        std::string error;
        s_Certs = KoralTest::TestCerts::Make(&error);
        ASSERT_NE(s_Certs, nullptr) << error;
    }
    static void TearDownTestSuite() { s_Certs.reset(); }

    // Starts the local service (scripted engine with `scenario`, or
    // pocketsphinx when `engine` says so) and points the plugin's key file at it.
    void StartService(const std::string &scenario, const std::string &engine = "script",
                      const std::vector<std::string> &extra_args = {}) {
        ASSERT_NE(s_Certs, nullptr);
        KoralTest::SpeechServiceOptions o;
        o.m_ExtraArgs = extra_args;
        o.m_Engine = engine;
        o.m_Scenario = scenario;
        o.m_CertFile = s_Certs->CertFile();
        o.m_KeyFile = s_Certs->KeyFile();
        o.m_CaFile = s_Certs->CaFile();
        std::string error;
        service_ = KoralTest::SpeechServiceProcess::Start(o, &error);
        ASSERT_TRUE(service_) << error;
        WriteFile("data/koralrx-key.json", ReadFile(service_->KeyFilePath()));
    }
    // A key file whose token endpoint is the service's but whose recognition
    // endpoint is a loopback port where nothing listens.
    void PointServiceAtClosedPort(uint16_t port) {
        WriteFile("data/koralrx-key.json",
                  "{\"auth-endpoint\": \"" + service_->TokenUrl() + "\", \"auth-key\": \"" +
                      service_->SubscriptionKey() +
                      "\", \"service-endpoint\": \"https://127.0.0.1:" + std::to_string(port) +
                      "/speech/recognition/interactive/cognitiveservices/v1\"}");
    }
    // The configuration: the service's key file, its CA trusted, the
    // streaming attributes given and any further elements.
    void Configure(const std::string &streaming_attributes = "", const std::string &extra = "") {
        WriteConfig("<ws-streaming-recognition tls-ca-file=\"" + s_Certs->CaFile() + "\" " +
                        streaming_attributes + "/>" + extra,
                    "koralrx-key.json");
    }
    // Speech made with flite at the rate, with silence around it, as a WAV
    // file in the root; returns its name.
    std::string SpeechFile(const std::string &text, int rate) {
        std::string name =
            "speech-" + std::to_string(rate) + "-" + std::to_string(files_++) + ".wav";
        KoralTest::Samples speech;
        std::string error;
        EXPECT_TRUE(KoralTest::Synthesize(text, rate, speech, &error)) << error;
        KoralTest::Samples all =
            KoralTest::Join({KoralTest::Silence(300, rate), speech, KoralTest::Silence(200, rate)});
        EXPECT_TRUE(KoralTest::WriteWav(root_ + "/" + name, all, rate));
        return root_ + "/" + name;
    }
    // Runs the script at real-time media speed unless told otherwise.
    Session RunSession(const std::string &script, const std::string &speed = "1") {
        Session session;
        session.run = Run(script, "--json --speed " + speed);
        session.messages = ParseMessages(session.run.out);
        return session;
    }
    std::vector<KoralTest::ServiceEvent> ServiceEvents(const std::string &event) const {
        return KoralTest::EventLogReader(service_->EventLogPath()).Read(event);
    }

    inline static std::unique_ptr<KoralTest::TestCerts> s_Certs;
    std::unique_ptr<KoralTest::SpeechServiceProcess> service_;
    int files_ = 0;
};

}  // namespace KoralTest
