#include "wav_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vantor {

namespace {

uint32_t Le32(const uint8_t *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
uint16_t Le16(const uint8_t *p) { return (uint16_t)(p[0] | (p[1] << 8)); }

const uint16_t kFormatPcm = 1;
const uint16_t kFormatExtensible = 0xFFFE;

}  // namespace

bool ParseWav(const std::vector<uint8_t> &bytes, WavAudio *audio, std::string *error) {
    const size_t size = bytes.size();
    const uint8_t *data = bytes.data();
    if (size < 12 || memcmp(data, "RIFF", 4) != 0 || memcmp(data + 8, "WAVE", 4) != 0) {
        *error = "not a RIFF/WAVE file";
        return false;
    }
    bool have_format = false;
    uint16_t format = 0, channels = 0, bits = 0;
    uint32_t rate = 0;
    size_t pos = 12;
    while (pos + 8 <= size) {
        const uint8_t *chunk = data + pos;
        uint64_t chunk_size = Le32(chunk + 4);
        size_t body = pos + 8;
        uint64_t available = size - body;
        if (memcmp(chunk, "fmt ", 4) == 0) {
            if (chunk_size < 16 || chunk_size > available) {
                *error = "truncated format chunk";
                return false;
            }
            format = Le16(data + body);
            channels = Le16(data + body + 2);
            rate = Le32(data + body + 4);
            bits = Le16(data + body + 14);
            if (format == kFormatExtensible && chunk_size >= 40) format = Le16(data + body + 24);
            have_format = true;
        } else if (memcmp(chunk, "data", 4) == 0) {
            if (!have_format) {
                *error = "data chunk before the format chunk";
                return false;
            }
            if (format != kFormatPcm || bits != 16) {
                *error = "not 16-bit linear PCM (format " + std::to_string(format) + ", " +
                         std::to_string(bits) + " bits)";
                return false;
            }
            if (channels == 0 || rate == 0) {
                *error = "bad channel count or sampling rate";
                return false;
            }
            // Streamed files may leave the size unset: take what the file holds.
            if (chunk_size > available) chunk_size = available;
            size_t count = (size_t)(chunk_size / 2);
            audio->sampling_rate = rate;
            audio->channel_count = channels;
            audio->samples.resize(count);
            for (size_t i = 0; i < count; ++i)
                audio->samples[i] = (int16_t)Le16(data + body + 2 * i);
            return true;
        }
        uint64_t next = (uint64_t)body + chunk_size + (chunk_size & 1);
        if (next > size) break;
        pos = (size_t)next;
    }
    *error = have_format ? "no data chunk" : "no format chunk";
    return false;
}

bool ReadWavFile(const std::string &path, WavAudio *audio, std::string *error) {
    FILE *file = fopen(path.c_str(), "rb");
    if (!file) {
        *error = std::string("cannot open: ") + strerror(errno);
        return false;
    }
    std::vector<uint8_t> bytes;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), file)) > 0) {
        bytes.insert(bytes.end(), buf, buf + n);
        if (bytes.size() > (size_t)1 << 30) {
            fclose(file);
            *error = "larger than 1 GiB";
            return false;
        }
    }
    // A folder opens, but reading it fails.
    int read_error = ferror(file) ? errno : 0;
    fclose(file);
    if (read_error) {
        *error = std::string("cannot read: ") + strerror(read_error);
        return false;
    }
    return ParseWav(bytes, audio, error);
}

}  // namespace vantor
