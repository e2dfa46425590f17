/* Base definitions shared by every host header. */
#pragma once

#include <apr.h>
#include <apr_pools.h>
#include <apr_strings.h>
#include <apr_tables.h>

#ifdef __cplusplus
#define APT_BEGIN_EXTERN_C extern "C" {
#define APT_END_EXTERN_C }
#else
#define APT_BEGIN_EXTERN_C
#define APT_END_EXTERN_C
#endif

#define APT_DECLARE(type) __attribute__((visibility("default"))) type
#define APT_DECLARE_DATA __attribute__((visibility("default")))

typedef int apt_bool_t;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

/* A counted string; buf is not necessarily NUL-terminated unless stated. */
typedef struct apt_str_t {
    char *buf;
    apr_size_t length;
} apt_str_t;
