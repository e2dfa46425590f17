/* Host log: thread-safe, timestamped lines to a file or stderr, filtered by
 * a priority threshold, written through named log sources. */
#pragma once

#include <stdarg.h>

#include "apt.h"

APT_BEGIN_EXTERN_C

/* Priorities, most severe first; the numbering is shared with Ombra log levels. */
typedef enum {
    APT_PRIO_EMERGENCY = 0,
    APT_PRIO_ALERT = 1,
    APT_PRIO_CRITICAL = 2,
    APT_PRIO_ERROR = 3,
    APT_PRIO_WARNING = 4,
    APT_PRIO_NOTICE = 5,
    APT_PRIO_INFO = 6,
    APT_PRIO_DEBUG = 7
} apt_log_priority_e;

/* Source file and line of the statement, as the first two arguments after the source. */
#define APT_LOG_MARK __FILE__, __LINE__

typedef struct apt_log_source_t apt_log_source_t;
typedef struct apt_logger_t apt_logger_t;

/* Hook that sees every line that passes the threshold (used by tests and tools). */
typedef void (*apt_log_ext_handler_f)(const char *source_name, const char *file, int line,
                                      apt_log_priority_e priority, const char *message);

/* Writes one line through a source. A null source means the default source. */
APT_DECLARE(apt_bool_t)
apt_log(const apt_log_source_t *source, const char *file, int line, apt_log_priority_e priority,
        const char *format, ...) __attribute__((format(printf, 5, 6)));
APT_DECLARE(apt_bool_t)
apt_va_log(const apt_log_source_t *source, const char *file, int line, apt_log_priority_e priority,
           const char *format, va_list args);

/* The default source ("HOST" unless replaced). */
APT_DECLARE(apt_log_source_t *) apt_def_log_source_get(void);
APT_DECLARE(apt_bool_t) apt_def_log_source_set(apt_log_source_t *source);
/* Looks up (or creates) the source with that name and stores it in *source. */
APT_DECLARE(apt_bool_t) apt_log_source_assign(const char *name, apt_log_source_t **source);
APT_DECLARE(const char *) apt_log_source_name_get(const apt_log_source_t *source);

/* Logger instance of the process: created by the host, handed to plugins. */
APT_DECLARE(apt_logger_t *) apt_log_instance_create(apt_log_priority_e priority, apr_pool_t *pool);
APT_DECLARE(apt_bool_t) apt_log_instance_set(apt_logger_t *logger);
APT_DECLARE(apt_logger_t *) apt_log_instance_get(void);
APT_DECLARE(apt_bool_t) apt_log_instance_destroy(void);
/* Sends lines to a file (appended) instead of stderr; NULL path restores stderr. */
APT_DECLARE(apt_bool_t) apt_log_file_open(const char *path);
APT_DECLARE(apt_bool_t) apt_log_priority_set(apt_log_priority_e priority);
APT_DECLARE(apt_log_priority_e) apt_log_priority_get(void);
/* Installs (or with NULL removes) the hook that sees every line written. */
APT_DECLARE(apt_bool_t) apt_log_ext_handler_set(apt_log_ext_handler_f handler);

/* "EMERGENCY", "ALERT", "CRITICAL", "ERROR", "WARNING", "NOTICE", "INFO", "DEBUG"
 * (also accepted in lower case and as digits 0-7); unknown text gives DEBUG. */
APT_DECLARE(apt_log_priority_e) apt_log_priority_translate(const char *str);

APT_END_EXTERN_C
