// Does the plugin's path lose anything? flite phrases at 8 kHz go through the
// whole path (vantor-host, detector, converter, client, TLS) to the local
// speech service's offline recognizer; the same 8 kHz audio converted to
// 16 kHz by sox goes straight to the service over its WebSocket; and the
// 16 kHz originals go through the plugin. Prints each phrase's results, the
// accuracy of each path and the time from the end of speech to
// RECOGNITION-COMPLETE. Not a test: numbers for reports.
//
//   recognition_path_bench [BUILD_DIR]
#include <rapidjson/document.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "KoralTest/Process.h"
#include "KoralTest/Speech.h"
#include "KoralTest/SpeechServiceProcess.h"
#include "KoralTest/TempDir.h"
#include "KoralTest/TestCerts.h"
#include "KoralTest/TestPaths.h"
#include "ServiceFixture.h"
#include "TestClient.h"

namespace {

using KoralTest::Samples;
using KoralTest::ServiceTest;

const std::vector<std::string> kPhrases = {
    "call home",
    "yes please",
    "check my account balance",
    "no thanks",
    "cancel my order",
    "where is my package",
    "thank you very much",
    "transfer money to savings",
    "i want to speak to an agent",
    "what is my balance",
};
const int kLeadMs = 300;   // silence before the speech in every file
const int kTrailMs = 300;  // and after it

std::string Lower(std::string text) {
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The text of the first <input> of an NLSML document.
std::string FirstInput(const std::string &nlsml) {
    size_t start = nlsml.find("<input mode=\"speech\">");
    if (start == std::string::npos) return "";
    start += 21;
    size_t end = nlsml.find("</input>", start);
    return end == std::string::npos ? "" : nlsml.substr(start, end - start);
}

struct PathResult {
    std::string text;
    double latency = -1;  // s from the end of speech to RECOGNITION-COMPLETE
};

// Straight to the service: one connection, one turn per phrase.
std::vector<std::string> Direct(const KoralTest::SpeechServiceProcess &service,
                                const std::vector<Samples> &audio16) {
    std::vector<std::string> texts;
    auto client = std::make_unique<KoralTest::TestClient>(service.Port(), service.CaFile());
    auto token_client = std::make_unique<KoralTest::TestClient>(service.Port(), service.CaFile());
    if (!client->Open() || !token_client->Open()) return texts;
    KoralTest::HttpResponse token = token_client->Exchange(
        "POST /sts/v1.0/issueToken HTTP/1.1\r\nHost:127.0.0.1\r\nConnection:close\r\n"
        "Ocp-Apim-Subscription-Key:" +
        service.SubscriptionKey() + "\r\nContent-Length:0\r\n\r\n");
    KoralTest::HttpResponse up = client->Upgrade(
        std::string(KoralTest::kRecognitionTarget) + "?format=detailed&language=en-US",
        {{"Authorization", "Bearer " + token.m_Body}, {"X-ConnectionId", "bench"}});
    if (up.m_Status != 101) return texts;
    client->SendText(ServiceTest::SpeechConfig());
    for (const Samples &samples : audio16) {
        std::string id = KoralTest::NewRequestId();
        ServiceTest::SendAudio(*client, id, samples);
        ServiceTest::SendEnd(*client, id);
        std::string text;
        for (const auto &m : ServiceTest::ReadTurn(*client, 30000)) {
            if (m.m_Path != "speech.phrase") continue;
            rapidjson::Document doc = ServiceTest::Json(m.m_Body);
            if (doc.IsObject() && doc.HasMember("NBest") && doc["NBest"].IsArray() &&
                doc["NBest"].Size() > 0)
                text = doc["NBest"][0]["Lexical"].GetString();
        }
        texts.push_back(text);
    }
    return texts;
}

// Through vantor-host and the plugin: one channel per phrase, one after the other.
std::vector<PathResult> ThroughPlugin(const std::string &build, const std::string &root,
                                      const std::vector<std::string> &files,
                                      const std::vector<double> &speech_end, int rate) {
    std::string script;
    for (size_t i = 0; i < files.size(); ++i) {
        std::string ch = "p" + std::to_string(i);
        script += "channel " + ch + " rate=" + std::to_string(rate) + "\nsend " + ch +
                  " RECOGNIZE 1\nContent-Type: text/uri-list\n\nbuiltin:speech/transcribe\n.\n"
                  "wait " +
                  ch + " response 1\naudio " + ch + " " + files[i] + "\nwait " + ch +
                  " RECOGNITION-COMPLETE timeout=30000\nclose " + ch + "\n";
    }
    std::ofstream(root + "/session.txt") << script;
    std::string cmd = build + "/host/cmd/vantor-host --root " + root + " --plugin " + build +
                      "/plugins/koralrx/libkoralrx.so --log-file " + root +
                      "/log/host.log --json run " + root + "/session.txt > " + root + "/out.txt";
    if (system(cmd.c_str()) != 0)
        fprintf(stderr, "vantor-host failed; see %s/log/host.log\n", root.c_str());
    std::vector<PathResult> results(files.size());
    std::map<std::string, double> started;
    std::istringstream out(ReadFile(root + "/out.txt"));
    std::string line;
    while (std::getline(out, line)) {
        rapidjson::Document doc;
        doc.Parse(line.c_str());
        if (!doc.IsObject()) continue;
        std::string ch = doc["channel"].GetString();
        std::string name = doc["name"].GetString();
        double t = doc["t"].GetDouble();
        size_t i = std::stoul(ch.substr(1));
        if (std::string(doc["kind"].GetString()) == "response" && name == "RECOGNIZE") {
            started[ch] = t;  // the audio is queued right after this answer
        } else if (name == "RECOGNITION-COMPLETE" && i < results.size()) {
            results[i].text = FirstInput(doc["body"].GetString());
            results[i].latency = t - (started[ch] + speech_end[i]);
        }
    }
    return results;
}

double Mean(const std::vector<double> &v) {
    double sum = 0;
    for (double x : v) sum += x;
    return v.empty() ? 0 : sum / v.size();
}

}  // namespace

int main(int argc, char **argv) {
    std::string build = argc > 1 ? argv[1] : KoralTest::BinaryDir();
    std::string error;
    auto certs = KoralTest::TestCerts::Make(&error);
    if (!certs) {
        fprintf(stderr, "certificates: %s\n", error.c_str());
        return 1;
    }
    KoralTest::SpeechServiceOptions o;
    o.m_Engine = "pocketsphinx";
    o.m_CertFile = certs->CertFile();
    o.m_KeyFile = certs->KeyFile();
    o.m_CaFile = certs->CaFile();
    auto service = KoralTest::SpeechServiceProcess::Start(o, &error);
    if (!service) {
        fprintf(stderr, "speech service: %s\n", error.c_str());
        return 1;
    }
    KoralTest::TempDir root("koral-recognition-bench");
    for (const char *sub : {"/conf", "/data", "/var", "/log"})
        KoralTest::RunProgram({"mkdir", "-p", root.Path() + sub});
    std::ofstream(root.File("data/key.json")) << ReadFile(service->KeyFilePath());
    std::ofstream(root.File("conf/koralrx.xml"))
        << "<koralrx subscription-key-file=\"key.json\"><ws-streaming-recognition tls-ca-file=\""
        << certs->CaFile() << "\"/></koralrx>";

    std::vector<std::string> files8, files16;
    std::vector<double> end8, end16;
    std::vector<Samples> direct16;
    for (size_t i = 0; i < kPhrases.size(); ++i) {
        Samples s8, s16;
        if (!KoralTest::Synthesize(kPhrases[i], 8000, s8, &error) ||
            !KoralTest::Synthesize(kPhrases[i], 16000, s16, &error)) {
            fprintf(stderr, "synthesis: %s\n", error.c_str());
            return 1;
        }
        Samples padded8 = KoralTest::Join(
            {KoralTest::Silence(kLeadMs, 8000), s8, KoralTest::Silence(kTrailMs, 8000)});
        Samples padded16 = KoralTest::Join(
            {KoralTest::Silence(kLeadMs, 16000), s16, KoralTest::Silence(kTrailMs, 16000)});
        files8.push_back(root.File("p8-" + std::to_string(i) + ".wav"));
        files16.push_back(root.File("p16-" + std::to_string(i) + ".wav"));
        KoralTest::WriteWav(files8.back(), padded8, 8000);
        KoralTest::WriteWav(files16.back(), padded16, 16000);
        end8.push_back((kLeadMs + s8.size() / 8.0) / 1000.0);
        end16.push_back((kLeadMs + s16.size() / 16.0) / 1000.0);
        // The same 8 kHz audio as sox converts it to 16 kHz.
        std::string sox16 = root.File("sox16-" + std::to_string(i) + ".wav");
        int rate = 0;
        Samples converted;
        if (!KoralTest::RunProgram({"sox", "-D", files8.back(), "-r", "16000", sox16}, &error) ||
            !KoralTest::ReadWav(sox16, converted, rate, &error)) {
            fprintf(stderr, "sox: %s\n", error.c_str());
            return 1;
        }
        direct16.push_back(converted);
    }

    std::vector<std::string> direct = Direct(*service, direct16);
    std::vector<PathResult> plugin8 = ThroughPlugin(build, root.Path(), files8, end8, 8000);
    std::vector<PathResult> plugin16 = ThroughPlugin(build, root.Path(), files16, end16, 16000);

    int ok8 = 0, okDirect = 0, ok16 = 0;
    std::vector<double> lat8, lat16;
    printf("%-30s | %-30s | %-30s | %-30s | %s\n", "phrase", "plugin 8 kHz", "sox 8->16 direct",
           "plugin 16 kHz", "end of speech -> RC (8k / 16k)");
    for (size_t i = 0; i < kPhrases.size(); ++i) {
        std::string d = i < direct.size() ? direct[i] : "";
        bool a = Lower(plugin8[i].text) == kPhrases[i];
        bool b = Lower(d) == kPhrases[i];
        bool c = Lower(plugin16[i].text) == kPhrases[i];
        ok8 += a;
        okDirect += b;
        ok16 += c;
        if (plugin8[i].latency >= 0) lat8.push_back(plugin8[i].latency);
        if (plugin16[i].latency >= 0) lat16.push_back(plugin16[i].latency);
        printf("%-30s | %s %-28s | %s %-28s | %s %-28s | %.2f s / %.2f s\n", kPhrases[i].c_str(),
               a ? "+" : "-", plugin8[i].text.c_str(), b ? "+" : "-", d.c_str(), c ? "+" : "-",
               plugin16[i].text.c_str(), plugin8[i].latency, plugin16[i].latency);
    }
    size_t n = kPhrases.size();
    printf(
        "\naccuracy (exact phrase): plugin 8 kHz %d/%zu, sox 8->16 kHz direct %d/%zu, "
        "plugin 16 kHz %d/%zu\n",
        ok8, n, okDirect, n, ok16, n);
    auto range = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        char text[96];
        snprintf(text, sizeof(text), "mean %.2f s, min %.2f s, max %.2f s", Mean(v),
                 v.empty() ? 0 : v.front(), v.empty() ? 0 : v.back());
        return std::string(text);
    };
    printf("end of speech -> RECOGNITION-COMPLETE: 8 kHz %s; 16 kHz %s\n", range(lat8).c_str(),
           range(lat16).c_str());
    return 0;
}
