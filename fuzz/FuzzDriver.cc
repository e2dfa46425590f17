// A stand-in for libFuzzer's main, so that a fuzz target also builds with any
// compiler as a plain program: it runs the target over the files of the given
// corpus directories, then over inputs mutated from them (bit flips, byte
// changes, insertions, deletions, dictionary tokens and splices), for a number
// of runs or a time. Accepts the libFuzzer flags it shares:
//   -runs=N -max_total_time=S -seed=N -max_len=N -dict=FILE  DIR|FILE...
// A failing target aborts, as it does under libFuzzer.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

typedef std::vector<uint8_t> Bytes;

bool ReadFile(const std::string &path, Bytes &out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    const std::string s = text.str();
    out.assign(s.begin(), s.end());
    return true;
}

void AddPath(const std::string &path, std::vector<Bytes> &corpus) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        fprintf(stderr, "fuzz driver: no such file or directory: %s\n", path.c_str());
        exit(2);
    }
    if (!S_ISDIR(st.st_mode)) {
        Bytes bytes;
        if (ReadFile(path, bytes)) corpus.push_back(bytes);
        return;
    }
    DIR *dir = opendir(path.c_str());
    if (!dir) return;
    std::vector<std::string> names;
    while (struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.') names.push_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) AddPath(path + "/" + name, corpus);
}

// libFuzzer dictionary lines: [name=]"value" with \\, \" and \xNN escapes.
std::vector<Bytes> ReadDictionary(const std::string &path) {
    std::vector<Bytes> tokens;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        size_t open = line.find('"');
        size_t close = line.rfind('"');
        if (line.empty() || line[0] == '#' || open == std::string::npos || close <= open) continue;
        Bytes token;
        for (size_t i = open + 1; i < close; ++i) {
            if (line[i] == '\\' && i + 1 < close) {
                if (line[i + 1] == 'x' && i + 3 < close) {
                    token.push_back(static_cast<uint8_t>(
                        std::strtoul(line.substr(i + 2, 2).c_str(), nullptr, 16)));
                    i += 3;
                } else {
                    token.push_back(static_cast<uint8_t>(line[++i]));
                }
            } else {
                token.push_back(static_cast<uint8_t>(line[i]));
            }
        }
        if (!token.empty()) tokens.push_back(token);
    }
    return tokens;
}

class Mutator {
  public:
    Mutator(unsigned seed, const std::vector<Bytes> &corpus, const std::vector<Bytes> &dict,
            size_t max_len)
        : rng_(seed), corpus_(corpus), dict_(dict), max_len_(max_len) {}

    Bytes Next() {
        Bytes data = corpus_.empty() ? Bytes() : corpus_[Pick(corpus_.size())];
        int steps = 1 + static_cast<int>(Pick(4));
        for (int i = 0; i < steps; ++i) Mutate(data);
        if (data.size() > max_len_) data.resize(max_len_);
        return data;
    }

  private:
    size_t Pick(size_t n) { return n ? std::uniform_int_distribution<size_t>(0, n - 1)(rng_) : 0; }
    uint8_t RandomByte() {
        static const char kInteresting[] = "<>/=\"' \t\r\n;?:&#![]-";
        return Pick(2) ? static_cast<uint8_t>(kInteresting[Pick(sizeof(kInteresting) - 1)])
                       : static_cast<uint8_t>(Pick(256));
    }
    void Insert(Bytes &data, const Bytes &piece) {
        data.insert(data.begin() + static_cast<long>(Pick(data.size() + 1)), piece.begin(),
                    piece.end());
    }

    void Mutate(Bytes &data) {
        switch (Pick(8)) {
            case 0:  // flip a bit
                if (!data.empty()) data[Pick(data.size())] ^= static_cast<uint8_t>(1u << Pick(8));
                break;
            case 1:  // change a byte
                if (!data.empty()) data[Pick(data.size())] = RandomByte();
                break;
            case 2:  // insert bytes
                Insert(data, Bytes(1 + Pick(4), RandomByte()));
                break;
            case 3: {  // delete a range
                if (data.empty()) break;
                size_t at = Pick(data.size());
                size_t n = 1 + Pick(std::min<size_t>(16, data.size() - at));
                data.erase(data.begin() + static_cast<long>(at),
                           data.begin() + static_cast<long>(at + n));
                break;
            }
            case 4: {  // repeat a range
                if (data.empty()) break;
                size_t at = Pick(data.size());
                size_t n = 1 + Pick(std::min<size_t>(64, data.size() - at));
                Bytes piece(data.begin() + static_cast<long>(at),
                            data.begin() + static_cast<long>(at + n));
                for (size_t k = Pick(8); k > 0; --k) Insert(data, piece);
                break;
            }
            case 5:  // dictionary token
                if (!dict_.empty()) Insert(data, dict_[Pick(dict_.size())]);
                break;
            case 6: {  // splice with another corpus entry
                if (corpus_.empty()) break;
                const Bytes &other = corpus_[Pick(corpus_.size())];
                size_t from = Pick(other.size() + 1);
                Bytes piece(other.begin() + static_cast<long>(from), other.end());
                data.resize(Pick(data.size() + 1));
                data.insert(data.end(), piece.begin(), piece.end());
                break;
            }
            default:  // truncate
                data.resize(Pick(data.size() + 1));
                break;
        }
    }

    std::mt19937 rng_;
    const std::vector<Bytes> &corpus_;
    const std::vector<Bytes> &dict_;
    size_t max_len_;
};

bool Flag(const char *arg, const char *name, std::string &value) {
    size_t n = strlen(name);
    if (strncmp(arg, name, n) != 0 || arg[n] != '=') return false;
    value = arg + n + 1;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    long runs = 10000;
    double seconds = 0;
    unsigned seed = 1;
    size_t max_len = 16384;
    std::vector<Bytes> corpus;
    std::vector<Bytes> dict;
    for (int i = 1; i < argc; ++i) {
        std::string value;
        if (Flag(argv[i], "-runs", value))
            runs = std::atol(value.c_str());
        else if (Flag(argv[i], "-max_total_time", value))
            seconds = std::atof(value.c_str());
        else if (Flag(argv[i], "-seed", value))
            seed = static_cast<unsigned>(std::atol(value.c_str()));
        else if (Flag(argv[i], "-max_len", value))
            max_len = static_cast<size_t>(std::atol(value.c_str()));
        else if (Flag(argv[i], "-dict", value))
            dict = ReadDictionary(value);
        else if (argv[i][0] == '-')
            fprintf(stderr, "fuzz driver: ignoring %s\n", argv[i]);
        else
            AddPath(argv[i], corpus);
    }

    // The seeds first, as they are, then the mutations.
    LLVMFuzzerTestOneInput(nullptr, 0);
    for (const Bytes &input : corpus) {
        Bytes copy(input);  // an exact-size buffer, so overreads show
        LLVMFuzzerTestOneInput(copy.empty() ? nullptr : copy.data(), copy.size());
    }
    Mutator mutator(seed, corpus, dict, max_len);
    const auto start = std::chrono::steady_clock::now();
    long done = 0;
    for (; done < runs; ++done) {
        if (seconds > 0 &&
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >=
                seconds)
            break;
        Bytes input = mutator.Next();
        LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
    }
    printf("fuzz driver: %zu seeds, %ld mutated inputs, no failure\n", corpus.size(), done);
    return 0;
}
