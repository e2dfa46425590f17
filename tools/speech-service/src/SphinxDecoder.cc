#include "SphinxDecoder.h"

#include <pocketsphinx.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/err.h>
#include <sphinxbase/fe.h>
#include <sphinxbase/feat.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace SpeechService {

namespace {

bool Exists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::string AcousticDir(const DecoderSettings &s) { return s.m_ModelDir + "/en-us"; }
std::string LanguageModel(const DecoderSettings &s) { return s.m_ModelDir + "/en-us.lm.bin"; }
std::string Dictionary(const DecoderSettings &s) { return s.m_ModelDir + "/cmudict-en-us.dict"; }

}  // namespace

std::string CleanHypothesis(const char *text) {
    if (text == nullptr) return std::string();
    std::istringstream in(text);
    std::string word, out;
    while (in >> word) {
        if (word.empty() || word[0] == '<' || word[0] == '[' || word[0] == '+') continue;
        size_t paren = word.find('(');
        if (paren != std::string::npos && paren > 0) word.resize(paren);
        if (!out.empty()) out += ' ';
        out += word;
    }
    return out;
}

void SphinxDecoder::QuietLibrary(bool verbose) { err_set_logfp(verbose ? stderr : nullptr); }

bool SphinxDecoder::CheckModel(const DecoderSettings &settings, std::string &error) {
    for (const std::string &path :
         {AcousticDir(settings) + "/mdef", LanguageModel(settings), Dictionary(settings)}) {
        if (!Exists(path)) {
            error = "speech model file " + path + " is missing";
            return false;
        }
    }
    return true;
}

std::unique_ptr<SphinxDecoder> SphinxDecoder::Create(const DecoderSettings &settings,
                                                     std::string &error) {
    std::unique_ptr<SphinxDecoder> d(new SphinxDecoder());
    d->m_MaxAlternatives = settings.m_MaxAlternatives;
    std::string hmm = AcousticDir(settings), lm = LanguageModel(settings),
                dict = Dictionary(settings);
    // The service finds speech itself; the decoder's own silence removal would
    // only drop the context around it.
    d->m_Config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-lm", lm.c_str(),
                              "-dict", dict.c_str(), "-bestpath", "yes", "-remove_silence", "no",
                              "-samprate", "16000", nullptr);
    if (d->m_Config == nullptr) {
        error = "cannot configure the pocketsphinx decoder";
        return nullptr;
    }
    d->m_Decoder = ps_init(d->m_Config);
    if (d->m_Decoder == nullptr) {
        error = "cannot load the speech model from " + settings.m_ModelDir;
        return nullptr;
    }
    feat_t *feat = ps_get_feat(d->m_Decoder);
    if (feat == nullptr || feat->cmn_struct == nullptr) {
        error = "the speech model has no live cepstral normalisation";
        return nullptr;
    }
    cmn_t *cmn = feat->cmn_struct;
    d->m_InitialMean.assign(cmn->cmn_mean, cmn->cmn_mean + cmn->veclen);
    return d;
}

SphinxDecoder::~SphinxDecoder() {
    if (m_Decoder != nullptr) {
        if (m_InUtterance) ps_end_utt(m_Decoder);
        ps_free(m_Decoder);
    }
    if (m_Config != nullptr) cmd_ln_free_r(m_Config);
}

bool SphinxDecoder::Start(const BandProfile &profile) {
    if (m_InUtterance) ps_end_utt(m_Decoder);
    m_InUtterance = false;
    feat_t *feat = ps_get_feat(m_Decoder);
    bool fits = profile.m_InitialMean.size() == m_InitialMean.size();
    cmn_live_set(feat->cmn_struct, fits ? profile.m_InitialMean.data() : m_InitialMean.data());
    m_DitherLsb = profile.m_DitherLsb;
    m_Noise.seed(1);  // the same audio decodes the same way every time
    if (ps_start_stream(m_Decoder) < 0 || ps_start_utt(m_Decoder) < 0) return false;
    m_InUtterance = true;
    return true;
}

bool SphinxDecoder::Feed(const int16_t *samples, size_t count) {
    if (!m_InUtterance) return false;
    if (m_DitherLsb > 0.0) {
        std::normal_distribution<double> noise(0.0, m_DitherLsb);
        m_Dithered.resize(count);
        for (size_t i = 0; i < count; ++i) {
            double v = std::round(samples[i] + noise(m_Noise));
            m_Dithered[i] = static_cast<int16_t>(std::max(-32768.0, std::min(32767.0, v)));
        }
        samples = m_Dithered.data();
    }
    return ps_process_raw(m_Decoder, samples, count, FALSE, FALSE) >= 0;
}

std::string SphinxDecoder::Partial() {
    if (!m_InUtterance) return std::string();
    int32 score = 0;
    return CleanHypothesis(ps_get_hyp(m_Decoder, &score));
}

bool SphinxDecoder::SumCepstra(const int16_t *samples, size_t count, std::vector<double> &sum,
                               size_t &frames) {
    if (m_InUtterance) return false;
    fe_t *fe = ps_get_fe(m_Decoder);
    if (fe == nullptr || fe_start_utt(fe) < 0) return false;
    size_t width = static_cast<size_t>(fe_get_output_size(fe));
    sum.resize(width, 0.0);
    std::vector<mfcc_t> cepstra(width * 64);
    std::vector<mfcc_t *> rows(64);
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = cepstra.data() + i * width;
    auto add = [&](int32 n) {
        for (int32 f = 0; f < n; ++f) {
            if (rows[f][0] < 0) continue;
            for (size_t j = 0; j < width; ++j) sum[j] += rows[f][j];
            ++frames;
        }
    };
    const int16 *in = samples;
    size_t left = count;
    while (left > 0) {
        int32 n = static_cast<int32>(rows.size()), first = 0;
        size_t before = left;
        if (fe_process_frames(fe, &in, &left, rows.data(), &n, &first) < 0) return false;
        add(n);
        if (n == 0 && left == before) break;  // the front end keeps the rest for fe_end_utt
    }
    int32 n = 0;
    if (fe_end_utt(fe, rows[0], &n) < 0) return false;
    add(n);
    return true;
}

bool SphinxDecoder::Finish(DecodeResult &result) {
    result = DecodeResult();
    if (!m_InUtterance) return false;
    m_InUtterance = false;
    if (ps_end_utt(m_Decoder) < 0) return false;

    int32 bestScore = 0;
    std::string best = CleanHypothesis(ps_get_hyp(m_Decoder, &bestScore));
    if (best.empty()) return true;
    logmath_t *lmath = ps_get_logmath(m_Decoder);
    double posterior = logmath_exp(lmath, ps_get_prob(m_Decoder));
    if (!(posterior >= 0.0)) posterior = 0.0;
    if (posterior > 1.0) posterior = 1.0;
    result.m_Texts.push_back(best);
    result.m_Confidences.push_back(posterior);

    // Alternatives from the n-best search: each scored below the best by its
    // path likelihood relative to the top path, in the decoder's log base.
    int32 topScore = 0;
    bool haveTop = false;
    ps_nbest_t *nbest = ps_nbest(m_Decoder);
    size_t examined = 0;
    while (nbest != nullptr && result.m_Texts.size() < m_MaxAlternatives && examined < 50) {
        ++examined;
        int32 score = 0;
        std::string text = CleanHypothesis(ps_nbest_hyp(nbest, &score));
        if (!haveTop) {
            topScore = score;
            haveTop = true;
        }
        bool known = text.empty();
        for (const std::string &t : result.m_Texts) known = known || t == text;
        if (!known) {
            double ratio = std::exp(logmath_log_to_ln(lmath, score - topScore));
            double confidence = posterior * (ratio > 1.0 ? 1.0 : ratio);
            if (std::round(confidence * 10000.0) > 0.0) {
                result.m_Texts.push_back(text);
                result.m_Confidences.push_back(confidence);
            }
        }
        nbest = ps_nbest_next(nbest);
    }
    if (nbest != nullptr) ps_nbest_free(nbest);
    return true;
}

}  // namespace SpeechService
