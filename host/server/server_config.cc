#include "server_config.h"

#include <apr_xml.h>
#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace vantor {

namespace {

const char *Attr(const apr_xml_elem *elem, const char *name) {
    for (const apr_xml_attr *a = elem->attr; a; a = a->next)
        if (strcasecmp(a->name, name) == 0) return a->value;
    return nullptr;
}

class Reader {
  public:
    explicit Reader(std::vector<std::string> *warnings) : warnings_(warnings) {}

    void Warn(const std::string &where, const std::string &value, const std::string &kept) {
        warnings_->push_back("Bad value \"" + value + "\" of " + where + ": using " + kept);
    }

    void Text(const apr_xml_elem *elem, const char *name, std::string *out) {
        if (const char *v = Attr(elem, name)) *out = v;
    }

    void Unsigned(const apr_xml_elem *elem, const char *name, unsigned min, unsigned max,
                  unsigned *out) {
        const char *v = Attr(elem, name);
        if (!v) return;
        char *end = nullptr;
        errno = 0;
        unsigned long n = strtoul(v, &end, 10);
        if (errno || end == v || *end || *v == '-' || n < min || n > max) {
            Warn(std::string(elem->name) + " " + name, v, "the default " + std::to_string(*out));
            return;
        }
        *out = static_cast<unsigned>(n);
    }

  private:
    std::vector<std::string> *warnings_;
};

void ReadTransports(const apr_xml_elem *elem, ServerConfig *c, Reader *r) {
    const char *v = Attr(elem, "transports");
    if (!v) return;
    bool udp = false, tcp = false, bad = false;
    std::stringstream list(v);
    std::string item;
    while (std::getline(list, item, ',')) {
        item.erase(0, item.find_first_not_of(" \t"));
        item.erase(item.find_last_not_of(" \t") + 1);
        if (strcasecmp(item.c_str(), "udp") == 0)
            udp = true;
        else if (strcasecmp(item.c_str(), "tcp") == 0)
            tcp = true;
        else
            bad = true;
    }
    if (bad || (!udp && !tcp)) {
        r->Warn("sip transports", v, "the default udp,tcp");
        return;
    }
    c->sip_udp = udp;
    c->sip_tcp = tcp;
}

void ReadCodecs(const apr_xml_elem *elem, ServerConfig *c, Reader *r) {
    std::string text;
    for (const apr_text *t = elem->first_cdata.first; t; t = t->next) text += t->text;
    std::vector<AudioCodec> codecs;
    std::stringstream words(text);
    std::string word;
    while (words >> word) {
        AudioCodec codec;
        if (!ParseAudioCodec(word, &codec)) {
            r->Warn("codecs", word, "the other codecs listed");
            continue;
        }
        codecs.push_back(codec);
    }
    if (codecs.empty()) {
        r->Warn("codecs", text, "the default PCMU PCMA L16/16000 L16/8000");
        return;
    }
    c->codecs = codecs;
}

}  // namespace

bool LoadServerConfig(const std::string &path, ServerConfig *config,
                      std::vector<std::string> *warnings, std::string *error) {
    apr_pool_t *pool = nullptr;
    if (apr_pool_create(&pool, nullptr) != APR_SUCCESS) {
        *error = "cannot create a pool";
        return false;
    }
    apr_file_t *file = nullptr;
    apr_xml_parser *parser = nullptr;
    apr_xml_doc *doc = nullptr;
    bool ok = false;
    if (apr_file_open(&file, path.c_str(), APR_FOPEN_READ, 0, pool) != APR_SUCCESS) {
        *error = "cannot read " + path;
    } else if (apr_xml_parse_file(pool, &parser, &doc, file, 4096) != APR_SUCCESS || !doc) {
        char reason[256] = "";
        if (parser) apr_xml_parser_geterror(parser, reason, sizeof(reason));
        *error = "cannot parse " + path + ": " + reason;
    } else if (strcasecmp(doc->root->name, "vantor-server") != 0) {
        *error = path + ": the root element is " + doc->root->name + ", not vantor-server";
    } else {
        ok = true;
        Reader r(warnings);
        for (const apr_xml_elem *e = doc->root->first_child; e; e = e->next) {
            if (strcasecmp(e->name, "sip") == 0) {
                r.Text(e, "address", &config->sip_address);
                r.Unsigned(e, "port", 0, 65535, &config->sip_port);
                ReadTransports(e, config, &r);
            } else if (strcasecmp(e->name, "mrcp") == 0) {
                r.Text(e, "address", &config->mrcp_address);
                r.Unsigned(e, "port", 0, 65535, &config->mrcp_port);
            } else if (strcasecmp(e->name, "rtp") == 0) {
                r.Text(e, "address", &config->rtp_address);
                unsigned min = config->rtp_port_min, max = config->rtp_port_max;
                r.Unsigned(e, "port-min", 1024, 65534, &min);
                r.Unsigned(e, "port-max", 1025, 65535, &max);
                if (min + 1 > max) {
                    r.Warn("rtp port range", std::to_string(min) + "-" + std::to_string(max),
                           "the default " + std::to_string(config->rtp_port_min) + "-" +
                               std::to_string(config->rtp_port_max));
                } else {
                    config->rtp_port_min = min;
                    config->rtp_port_max = max;
                }
                r.Unsigned(e, "jitter-buffer", 10, 1000, &config->jitter_ms);
            } else if (strcasecmp(e->name, "codecs") == 0) {
                ReadCodecs(e, config, &r);
            } else if (strcasecmp(e->name, "sessions") == 0) {
                r.Unsigned(e, "max", 1, 100000, &config->max_sessions);
                r.Unsigned(e, "max-channels", 0, 100000, &config->max_channels);
                r.Unsigned(e, "retry-after", 1, 3600, &config->retry_after_s);
            } else if (strcasecmp(e->name, "log") == 0) {
                r.Text(e, "file", &config->log_file);
                r.Text(e, "priority", &config->log_priority);
            } else if (strcasecmp(e->name, "plugin") == 0) {
                r.Text(e, "path", &config->plugin);
                r.Text(e, "root", &config->root);
            } else {
                warnings->push_back(std::string("Unknown element ") + e->name + " ignored");
            }
        }
    }
    if (file) apr_file_close(file);
    apr_pool_destroy(pool);
    return ok;
}

bool ParseServerOptions(int argc, char **argv, ServerOptions *options, std::string *error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string *target = nullptr;
        if (arg == "--help" || arg == "-h") {
            options->help = true;
            continue;
        }
        if (arg == "--conf")
            target = &options->conf;
        else if (arg == "--root")
            target = &options->root;
        else if (arg == "--log-file")
            target = &options->log_file;
        else if (arg == "--log-priority")
            target = &options->log_priority;
        if (!target) {
            *error = "unknown argument " + arg;
            return false;
        }
        if (i + 1 >= argc) {
            *error = arg + " needs a value";
            return false;
        }
        *target = argv[++i];
    }
    return true;
}

std::string ServerUsage() {
    return "Usage: vantor-server [options]\n"
           "Serves the recognizer plugin to MRCPv2 clients over SIP, MRCPv2/TCP and RTP.\n"
           "\n"
           "  --conf FILE           server configuration (default: ROOT/conf/vantor-server.xml)\n"
           "  --root DIR            server root: conf, data, log and var directories\n"
           "  --log-file FILE       host log file (default: standard error)\n"
           "  --log-priority P      EMERGENCY ... DEBUG, or 0-7 (default: INFO)\n"
           "  --help                this text\n"
           "\n"
           "Once listening it prints one line on standard output:\n"
           "  vantor-server ready sip=ADDRESS:PORT mrcp=ADDRESS:PORT\n"
           "SIGINT or SIGTERM: BYE to every dialog, channels and engine closed, exit 0.\n";
}

}  // namespace vantor
