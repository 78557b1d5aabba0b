/* C ABI of the Rust transport crate (zenoh/src/lib.rs), used only by the zenoh headers. */
#pragma once

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "zenoh/result_codes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Every call that can fail returns a result code (result_codes.h); zenoh's own reason for
   the latest failure on the calling thread can then be read with kz_last_error. */
size_t kz_last_error(char* buffer, size_t size);

typedef struct KzConfig KzConfig;
typedef struct KzSession KzSession;
typedef struct KzSubscriber KzSubscriber;
typedef struct KzQuerier KzQuerier;

typedef void (*kz_sample_callback)(void* context, const uint8_t* data, size_t len);
typedef void (*kz_reply_callback)(void* context, bool is_ok, const uint8_t* data, size_t len);
typedef void (*kz_drop_callback)(void* context);

int8_t kz_config_default(KzConfig** out);
void kz_config_drop(KzConfig* config);

int8_t kz_session_open(KzConfig* config, KzSession** out);
// Closes a session (at most zenoh's own close timeout); the handle stays valid until freed.
void kz_session_close(KzSession* session);
void kz_session_free(KzSession* session);

int8_t kz_keyexpr_autocanonize(char* data, size_t* len);

int8_t kz_subscriber_declare(const KzSession* session, const char* key_expr, size_t key_expr_len,
                             kz_sample_callback on_sample, kz_drop_callback on_drop, void* context,
                             KzSubscriber** out);
void kz_subscriber_undeclare(KzSubscriber* subscriber);

int8_t kz_get(const KzSession* session, const char* key_expr, size_t key_expr_len,
              const uint8_t* payload, size_t payload_len, uint64_t timeout_ms,
              kz_reply_callback on_reply, kz_drop_callback on_drop, void* context);

int8_t kz_querier_declare(const KzSession* session, const char* key_expr, size_t key_expr_len,
                          KzQuerier** out);
int8_t kz_querier_has_matching(const KzQuerier* querier, bool* out);
void kz_querier_undeclare(KzQuerier* querier);

#ifdef __cplusplus
}
#endif
