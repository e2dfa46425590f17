// Text codec of typed MRCP header values.
#include "mrcp_header_value.h"

#include <strings.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "apt_string.h"
#include "mrcp_generic_header.h"
#include "mrcp_recog_header.h"

namespace vantor {

namespace {

template <typename T>
T *Field(void *base, apr_size_t offset) {
    return reinterpret_cast<T *>(static_cast<char *>(base) + offset);
}
template <typename T>
const T *Field(const void *base, apr_size_t offset) {
    return reinterpret_cast<const T *>(static_cast<const char *>(base) + offset);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// FLOAT = *DIGIT ["." *DIGIT], at least one digit.
bool ParseFloat(const char *text, apr_size_t length, double *out) {
    if (length == 0 || length > 64) return false;
    double value = 0.0;
    double scale = 0.0;
    bool digits = false;
    for (apr_size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (IsDigit(c)) {
            digits = true;
            if (scale == 0.0) {
                value = value * 10.0 + (c - '0');
            } else {
                value += (c - '0') * scale;
                scale /= 10.0;
            }
        } else if (c == '.' && scale == 0.0) {
            scale = 0.1;
        } else {
            return false;
        }
    }
    if (!digits || !std::isfinite(value)) return false;
    *out = value;
    return true;
}

// Fixed-point text with trailing zeros removed ("0.87", "1.0"), "." whatever the locale.
const char *FormatFloat(double value, apr_pool_t *pool) {
    if (!std::isfinite(value) || value < 0.0) value = 0.0;
    char buf[64];
    int n = snprintf(buf, sizeof(buf), "%.6f", value);
    if (n <= 0 || n >= (int)sizeof(buf)) return apr_pstrdup(pool, "0.0");
    for (int i = 0; i < n; ++i)
        if (buf[i] == ',') buf[i] = '.';
    char *dot = strchr(buf, '.');
    if (dot) {
        char *last = buf + n - 1;
        while (last > dot + 1 && *last == '0') *last-- = '\0';
    }
    return apr_pstrdup(pool, buf);
}

bool ParseBool(const char *text, apr_size_t length, apt_bool_t *out) {
    if (length == 4 && strncasecmp(text, "true", 4) == 0) {
        *out = TRUE;
        return true;
    }
    if (length == 5 && strncasecmp(text, "false", 5) == 0) {
        *out = FALSE;
        return true;
    }
    return false;
}

// MRCPv1 cause numbers read as the MRCPv2 cause of the same meaning.
const mrcp_recog_completion_cause_e kV1Causes[] = {
    RECOGNIZER_COMPLETION_CAUSE_SUCCESS,
    RECOGNIZER_COMPLETION_CAUSE_NO_MATCH,
    RECOGNIZER_COMPLETION_CAUSE_NO_INPUT_TIMEOUT,
    RECOGNIZER_COMPLETION_CAUSE_NO_MATCH_MAXTIME,
    RECOGNIZER_COMPLETION_CAUSE_GRAMMAR_LOAD_FAILURE,
    RECOGNIZER_COMPLETION_CAUSE_GRAMMAR_COMPILATION_FAILURE,
    RECOGNIZER_COMPLETION_CAUSE_RECOGNIZER_ERROR,
    RECOGNIZER_COMPLETION_CAUSE_SPEECH_TOO_EARLY,
    RECOGNIZER_COMPLETION_CAUSE_SUCCESS_MAXTIME,
    RECOGNIZER_COMPLETION_CAUSE_URI_FAILURE,
    RECOGNIZER_COMPLETION_CAUSE_LANGUAGE_UNSUPPORTED,
};

// "NNN name": the code decides, the name is not checked.
bool ParseCause(const char *text, apr_size_t length, mrcp_version_e version,
                mrcp_recog_completion_cause_e *out) {
    apr_size_t digits = 0;
    while (digits < length && IsDigit(text[digits])) ++digits;
    if (digits == 0) return false;
    if (digits < length && text[digits] != ' ' && text[digits] != '\t') return false;
    apr_uint64_t code = 0;
    if (!ParseDecimal(text, digits, 3, 999, &code)) return false;
    if (version == MRCP_VERSION_1) {
        if (code >= sizeof(kV1Causes) / sizeof(kV1Causes[0])) return false;
        *out = kV1Causes[code];
        return true;
    }
    if (code >= RECOGNIZER_COMPLETION_CAUSE_COUNT) return false;
    *out = static_cast<mrcp_recog_completion_cause_e>(code);
    return true;
}

bool ParseIdList(const char *text, apr_size_t length, mrcp_request_id_list_t *list) {
    apr_size_t pos = 0;
    while (pos <= length) {
        apr_size_t end = pos;
        while (end < length && text[end] != ',') ++end;
        const char *item = text + pos;
        apr_size_t item_len = end - pos;
        while (item_len && (*item == ' ' || *item == '\t')) ++item, --item_len;
        while (item_len && (item[item_len - 1] == ' ' || item[item_len - 1] == '\t')) --item_len;
        apr_uint64_t id = 0;
        if (!ParseDecimal(item, item_len, 10, 0xFFFFFFFFull, &id)) return false;
        if (list->count >= MAX_ACTIVE_REQUEST_ID_COUNT) return false;
        list->ids[list->count++] = (mrcp_request_id)id;
        pos = end + 1;
    }
    return true;
}

}  // namespace

bool ParseDecimal(const char *text, apr_size_t length, apr_size_t max_digits,
                  apr_uint64_t max_value, apr_uint64_t *out) {
    if (!text || length == 0 || length > max_digits) return false;
    apr_uint64_t value = 0;
    for (apr_size_t i = 0; i < length; ++i) {
        if (!IsDigit(text[i])) return false;
        apr_uint64_t digit = (apr_uint64_t)(text[i] - '0');
        if (value > (max_value - digit) / 10) return false;
        value = value * 10 + digit;
    }
    *out = value;
    return true;
}

const char *HeaderName(const HeaderDescriptor &d, mrcp_version_e version) {
    if (version == MRCP_VERSION_2) return d.v2_name;
    if (version == MRCP_VERSION_1) return d.v1_name;
    return nullptr;
}

apr_size_t HeaderFind(const HeaderDescriptor *table, apr_size_t count, const char *name,
                      apr_size_t length, mrcp_version_e version) {
    if (!name) return count;
    for (apr_size_t i = 0; i < count; ++i) {
        const char *candidate = HeaderName(table[i], version);
        if (candidate && strlen(candidate) == length && strncasecmp(candidate, name, length) == 0)
            return i;
    }
    return count;
}

bool HeaderValueParse(const HeaderDescriptor &d, void *base, const char *value, apr_size_t length,
                      mrcp_version_e version, bool join, apr_pool_t *pool) {
    if (!value) length = 0;
    switch (d.type) {
        case ValueType::kChannelId:
            return false;  // handled by the message
        case ValueType::kString: {
            apt_str_t *str = Field<apt_str_t>(base, d.offset);
            if (join && str->buf && str->length) {
                apr_size_t total = str->length + 1 + length;
                char *buf = static_cast<char *>(apr_palloc(pool, total + 1));
                memcpy(buf, str->buf, str->length);
                buf[str->length] = ',';
                if (length) memcpy(buf + str->length + 1, value, length);
                buf[total] = '\0';
                str->buf = buf;
                str->length = total;
            } else {
                apt_string_assign_n(str, value ? value : "", length, pool);
            }
            return true;
        }
        case ValueType::kSize: {
            apr_uint64_t v = 0;
            if (!ParseDecimal(value, length, 19, (apr_uint64_t)APR_SIZE_MAX, &v)) return false;
            *Field<apr_size_t>(base, d.offset) = (apr_size_t)v;
            return true;
        }
        case ValueType::kUnitFloat:
        case ValueType::kUnitFloatReversedV1: {
            double v = 0.0;
            if (version == MRCP_VERSION_1) {
                apr_uint64_t n = 0;
                if (!ParseDecimal(value, length, 3, 100, &n)) return false;
                v = (double)n / 100.0;
                if (d.type == ValueType::kUnitFloatReversedV1) v = 1.0 - v;
            } else if (!ParseFloat(value, length, &v) || v > 1.0) {
                return false;
            }
            *Field<float>(base, d.offset) = (float)v;
            return true;
        }
        case ValueType::kFloat: {
            double v = 0.0;
            if (!ParseFloat(value, length, &v) || v > 1e9) return false;
            *Field<float>(base, d.offset) = (float)v;
            return true;
        }
        case ValueType::kBool: {
            apt_bool_t v = FALSE;
            if (!ParseBool(value, length, &v)) return false;
            *Field<apt_bool_t>(base, d.offset) = v;
            return true;
        }
        case ValueType::kChar: {
            if (length > 1) return false;
            char c = length ? value[0] : '\0';
            if (length && (c <= ' ' || c > '~')) return false;
            *Field<char>(base, d.offset) = c;
            return true;
        }
        case ValueType::kCause: {
            mrcp_recog_completion_cause_e cause = RECOGNIZER_COMPLETION_CAUSE_UNKNOWN;
            if (!ParseCause(value, length, version, &cause)) return false;
            *Field<mrcp_recog_completion_cause_e>(base, d.offset) = cause;
            return true;
        }
        case ValueType::kIdList: {
            mrcp_request_id_list_t list;
            list.count = 0;
            if (join) list = *Field<mrcp_request_id_list_t>(base, d.offset);
            if (!ParseIdList(value, length, &list)) return false;
            *Field<mrcp_request_id_list_t>(base, d.offset) = list;
            return true;
        }
    }
    return false;
}

const char *HeaderValueFormat(const HeaderDescriptor &d, const void *base, mrcp_version_e version,
                              apr_pool_t *pool) {
    switch (d.type) {
        case ValueType::kChannelId:
            return "";
        case ValueType::kString: {
            const apt_str_t *str = Field<apt_str_t>(base, d.offset);
            return (str->buf && str->length) ? apr_pstrmemdup(pool, str->buf, str->length) : "";
        }
        case ValueType::kSize:
            return apr_psprintf(pool, "%" APR_SIZE_T_FMT, *Field<apr_size_t>(base, d.offset));
        case ValueType::kUnitFloat:
        case ValueType::kUnitFloatReversedV1: {
            double v = *Field<float>(base, d.offset);
            if (!std::isfinite(v) || v < 0.0) v = 0.0;
            if (v > 1.0) v = 1.0;
            if (version == MRCP_VERSION_1) {
                if (d.type == ValueType::kUnitFloatReversedV1) v = 1.0 - v;
                return apr_psprintf(pool, "%d", (int)std::lround(v * 100.0));
            }
            return FormatFloat(v, pool);
        }
        case ValueType::kFloat:
            return FormatFloat(*Field<float>(base, d.offset), pool);
        case ValueType::kBool:
            return *Field<apt_bool_t>(base, d.offset) ? "true" : "false";
        case ValueType::kChar: {
            char c = *Field<char>(base, d.offset);
            return c ? apr_pstrndup(pool, &c, 1) : "";
        }
        case ValueType::kCause: {
            auto cause = *Field<mrcp_recog_completion_cause_e>(base, d.offset);
            int code = mrcp_recog_completion_cause_code_get(cause, version);
            const apt_str_t *name = mrcp_recog_completion_cause_get(cause, version);
            if (code < 0 || !name) return apr_psprintf(pool, "%03d", (int)cause);
            return apr_psprintf(pool, "%03d %s", code, name->buf);
        }
        case ValueType::kIdList: {
            const mrcp_request_id_list_t *list = Field<mrcp_request_id_list_t>(base, d.offset);
            const char *text = "";
            apr_size_t count = list->count < MAX_ACTIVE_REQUEST_ID_COUNT
                                   ? list->count
                                   : MAX_ACTIVE_REQUEST_ID_COUNT;
            for (apr_size_t i = 0; i < count; ++i)
                text = apr_psprintf(pool, "%s%s%u", text, i ? "," : "", list->ids[i]);
            return text;
        }
    }
    return "";
}

}  // namespace vantor
