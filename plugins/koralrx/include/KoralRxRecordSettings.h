// Settings of the two record folders: utterance recordings (<utterance-manager>)
// and recognition details records (<rdr-manager>).
#pragma once

#include <apr_xml.h>

#include <string>

namespace KORAL {

// Where recorded utterances are published unless configured otherwise.
extern const char *const kDefaultWaveformBaseUri;

struct UtteranceSettings {
    bool save_waveforms = false;
    bool purge_existing = false;
    long max_file_age = 60;  // minutes
    long max_file_count = 100;
    std::string waveform_folder;
    std::string waveform_base_uri = kDefaultWaveformBaseUri;
    std::string file_prefix = "koralrx-";
    std::string file_ext = ".wav";
    int log_level = 5;  // NOTICE

    bool Load(const apr_xml_elem *elem);
};

struct RdrSettings {
    bool save_records = false;
    bool purge_existing = false;
    long max_file_age = 60;  // minutes
    long max_file_count = 100;
    std::string record_folder;
    std::string file_prefix = "koralrx-";
    std::string file_ext = ".json";
    int log_level = 5;  // NOTICE

    bool Load(const apr_xml_elem *elem);
};

}  // namespace KORAL
