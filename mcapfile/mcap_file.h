/* The C ABI of the transport crate's MCAP reader (zenoh/src/mcap_file.rs). Texts are bytes
 * and a length, valid only during the callback (or, for kqm_end, while the reader lives). */
#ifndef KORVELQUOR_MCAP_FILE_H
#define KORVELQUOR_MCAP_FILE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kqm_reader kqm_reader;

typedef struct {
  const char* data;
  size_t len;
} kqm_str;

typedef struct {
  void* context;
  void (*header)(void* context, kqm_str profile, kqm_str library);
  void (*metadata)(void* context, kqm_str name, size_t count, const kqm_str* keys,
                   const kqm_str* values);
  void (*channel)(void* context, uint16_t id, kqm_str topic, kqm_str message_encoding,
                  size_t count, const kqm_str* keys, const kqm_str* values);
  void (*message)(void* context, uint16_t channel, uint32_t sequence, uint64_t log_time,
                  uint64_t publish_time, const uint8_t* data, size_t len);
} kqm_visitor;

typedef struct {
  bool complete;
  uint64_t size;
  uint64_t good_bytes;
  kqm_str problem;
  size_t skipped; /* damaged records skipped, each told by kqm_reader_skipped */
} kqm_end;

/* Null on failure; the reason is then kz_last_error's. */
kqm_reader* kqm_reader_open(const char* path, size_t len);
/* 1 while records remain, 0 at the end of the file (cut or not), -1 on an internal fault. */
int32_t kqm_reader_read(kqm_reader* reader, size_t min_messages, const kqm_visitor* visitor);
void kqm_reader_end(const kqm_reader* reader, kqm_end* end);
bool kqm_reader_skipped(const kqm_reader* reader, size_t index, uint64_t* at, kqm_str* why);
void kqm_reader_free(kqm_reader* reader);

/* A flat JSON object: each entry goes to `entry` with its value's text (strings unquoted,
 * is_text set). 0, or -1 when the text is no JSON object (the reason: kz_last_error). */
int32_t kqm_json_object(const char* text, size_t len, void* context,
                        void (*entry)(void* context, kqm_str key, kqm_str value, bool is_text));

#ifdef __cplusplus
}
#endif

#endif
