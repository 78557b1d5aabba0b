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

/* Each callback returns 0 to go on; anything else stops the reading at once (the caller keeps
 * its own reason). No callback may let a C++ exception out. */
typedef struct {
  void* context;
  int32_t (*header)(void* context, kqm_str profile, kqm_str library);
  int32_t (*metadata)(void* context, kqm_str name, size_t count, const kqm_str* keys,
                      const kqm_str* values);
  int32_t (*channel)(void* context, uint16_t id, kqm_str topic, kqm_str message_encoding,
                     size_t count, const kqm_str* keys, const kqm_str* values);
  int32_t (*message)(void* context, uint16_t channel, uint32_t sequence, uint64_t log_time,
                     uint64_t publish_time, const uint8_t* data, size_t len);
} kqm_visitor;

typedef struct {
  bool complete;
  bool read_error; /* reading stopped at an I/O error, not at a cut */
  uint64_t size;
  uint64_t good_bytes;
  kqm_str problem;
  size_t skipped; /* damaged records skipped, each told by kqm_reader_skipped */
} kqm_end;

/* Null on failure; the reason is then kz_last_error's. */
kqm_reader* kqm_reader_open(const char* path, size_t len);
/* 1 while records remain, 0 at the end of the file (cut or not), -1 on an internal fault (the
 * reason, naming the file and byte: kz_last_error), -2 when a callback stopped it. */
int32_t kqm_reader_read(kqm_reader* reader, size_t min_messages, const kqm_visitor* visitor);
void kqm_reader_end(const kqm_reader* reader, kqm_end* end);
bool kqm_reader_skipped(const kqm_reader* reader, size_t index, uint64_t* at, kqm_str* why);
void kqm_reader_free(kqm_reader* reader);

/* The channels of the file's summary, each with the message count its statistics give. 1 when
 * the file has a usable summary, 0 when not (none, cut short, a CRC or record that does not
 * hold), -1 on an internal fault or when `entry` returned non-zero. */
int32_t kqm_summary_channels(const char* path, size_t len, void* context,
                             int32_t (*entry)(void* context, uint16_t id, kqm_str topic,
                                              kqm_str message_encoding, size_t count,
                                              const kqm_str* keys, const kqm_str* values,
                                              uint64_t messages));

/* A flat JSON object: each entry goes to `entry` with its value's text (strings unquoted,
 * is_text set). 0, -1 when the text is no JSON object (the reason: kz_last_error), -2 when
 * `entry` returned non-zero. */
int32_t kqm_json_object(const char* text, size_t len, void* context,
                        int32_t (*entry)(void* context, kqm_str key, kqm_str value, bool is_text));

#ifdef __cplusplus
}
#endif

#endif
