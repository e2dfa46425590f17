/* Resource engines and their channels: the tables a plugin hands to the host,
 * the tables through which it answers, and the calls that create them.
 *
 * Fields are plain struct fields. A plugin reads: engine->obj, engine->event_vtable,
 * engine->dir_layout, engine->config (its first field is max_channel_count),
 * engine->pool; channel->obj, channel->event_vtable, channel->id (text id,
 * NUL-terminated), channel->mrcp_version, channel->pool. It answers through the
 * event tables, directly or with the *_respond / *_message_send helpers below.
 *
 * Threads: the host calls the engine and channel method tables from its signalling
 * thread and the stream's write_frame from its media thread. Answers may come from
 * any thread. */
#pragma once

#include "apt_dir_layout.h"
#include "mpf_stream.h"
#include "mrcp_message.h"

APT_BEGIN_EXTERN_C

typedef struct mrcp_engine_t mrcp_engine_t;
typedef struct mrcp_engine_channel_t mrcp_engine_channel_t;

/* Engine methods, slot order: destroy, open, close, create channel. open and
 * close return at once; the answer comes through the event table. */
typedef struct mrcp_engine_method_vtable_t {
    apt_bool_t (*destroy)(mrcp_engine_t *engine);
    apt_bool_t (*open)(mrcp_engine_t *engine);
    apt_bool_t (*close)(mrcp_engine_t *engine);
    mrcp_engine_channel_t *(*create_channel)(mrcp_engine_t *engine, apr_pool_t *pool);
} mrcp_engine_method_vtable_t;

/* Engine answers, slot order: open response, close response. */
typedef struct mrcp_engine_event_vtable_t {
    apt_bool_t (*on_open)(mrcp_engine_t *engine, apt_bool_t status);
    apt_bool_t (*on_close)(mrcp_engine_t *engine, apt_bool_t status);
} mrcp_engine_event_vtable_t;

/* Channel methods, slot order: destroy, open, close, process request. open, close
 * and process_request return at once; answers come through the event table. */
typedef struct mrcp_engine_channel_method_vtable_t {
    apt_bool_t (*destroy)(mrcp_engine_channel_t *channel);
    apt_bool_t (*open)(mrcp_engine_channel_t *channel);
    apt_bool_t (*close)(mrcp_engine_channel_t *channel);
    apt_bool_t (*process_request)(mrcp_engine_channel_t *channel, mrcp_message_t *request);
} mrcp_engine_channel_method_vtable_t;

/* Channel answers, slot order: open response, close response, message (a response
 * or an event). */
typedef struct mrcp_engine_channel_event_vtable_t {
    apt_bool_t (*on_open)(mrcp_engine_channel_t *channel, apt_bool_t status);
    apt_bool_t (*on_close)(mrcp_engine_channel_t *channel);
    apt_bool_t (*on_message)(mrcp_engine_channel_t *channel, mrcp_message_t *message);
} mrcp_engine_channel_event_vtable_t;

/* Engine configuration given by the host. */
typedef struct mrcp_engine_config_t {
    apr_size_t max_channel_count; /* 0: no limit */
    const char *name;
    const char *id;
    apr_table_t *params; /* name/value parameters of the engine */
} mrcp_engine_config_t;

struct mrcp_engine_t {
    const char *id;
    mrcp_resource_id resource_id;
    void *obj; /* the plugin's engine object */
    const mrcp_engine_method_vtable_t *method_vtable;
    const mrcp_engine_event_vtable_t *event_vtable; /* set by the host */
    void *event_obj;                                /* the host's object */
    const mrcp_engine_config_t *config;             /* set by the host */
    const apt_dir_layout_t *dir_layout;             /* set by the host */
    apr_pool_t *pool;
    apt_bool_t is_open;
};

struct mrcp_engine_channel_t {
    const mrcp_engine_channel_method_vtable_t *method_vtable;
    void *obj;                                              /* the plugin's channel object */
    const mrcp_engine_channel_event_vtable_t *event_vtable; /* set by the host */
    void *event_obj;                                        /* the host's object */
    mpf_termination_t *termination;
    mrcp_engine_t *engine;
    apt_str_t id;                /* text id, set by the host */
    mrcp_version_e mrcp_version; /* set by the host */
    apt_bool_t is_open;
    apr_pool_t *pool;
};

/* An engine of the resource (1: recognizer) with the plugin's object and table.
 * NULL when the table or the pool is NULL or a table slot other than destroy is NULL. */
APT_DECLARE(mrcp_engine_t *)
mrcp_engine_create(mrcp_resource_id resource_id, void *obj,
                   const mrcp_engine_method_vtable_t *vtable, apr_pool_t *pool);

/* A termination carrying one audio stream bound to obj and the stream table. */
APT_DECLARE(mpf_termination_t *)
mrcp_engine_audio_termination_create(void *obj, const mpf_audio_stream_vtable_t *stream_vtable,
                                     mpf_stream_capabilities_t *capabilities, apr_pool_t *pool);

/* A channel of the engine with the plugin's object, table and termination. NULL
 * when engine, vtable or pool is NULL or a slot of the table is NULL. */
APT_DECLARE(mrcp_engine_channel_t *)
mrcp_engine_channel_create(mrcp_engine_t *engine,
                           const mrcp_engine_channel_method_vtable_t *method_vtable, void *obj,
                           mpf_termination_t *termination, apr_pool_t *pool);

/* The negotiated codec of frames written to the channel's sink stream, or NULL
 * when there is no sink stream or nothing was negotiated yet. */
APT_DECLARE(const mpf_codec_descriptor_t *)
mrcp_engine_sink_stream_codec_get(const mrcp_engine_channel_t *channel);

/* Answers through the event tables; FALSE when no table or slot is set. */
APT_DECLARE(apt_bool_t) mrcp_engine_open_respond(mrcp_engine_t *engine, apt_bool_t status);
APT_DECLARE(apt_bool_t) mrcp_engine_close_respond(mrcp_engine_t *engine, apt_bool_t status);
APT_DECLARE(apt_bool_t)
mrcp_engine_channel_open_respond(mrcp_engine_channel_t *channel, apt_bool_t status);
APT_DECLARE(apt_bool_t) mrcp_engine_channel_close_respond(mrcp_engine_channel_t *channel);
APT_DECLARE(apt_bool_t)
mrcp_engine_channel_message_send(mrcp_engine_channel_t *channel, mrcp_message_t *message);

APT_END_EXTERN_C
