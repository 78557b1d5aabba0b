/* The C ABI of the transport crate's MCAP writer (zenoh/src/mcap_write.rs). Every call that
 * writes returns 0, or -1 with the reason ("writing PATH failed: ...") in kz_last_error and
 * the OS error number (0 when the failure is not the system's) in *os_error. After a failed
 * write the file ends on the last whole record; kqw_salvage then closes it. */
#ifndef KORVELQUOR_MCAP_WRITER_H
#define KORVELQUOR_MCAP_WRITER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kqw_writer kqw_writer;

typedef struct {
  const char* data;
  size_t len;
} kqw_text;

/* One stream's samples for kqw_merged: `count` entries per column, offsets count + 1. */
typedef struct {
  uint16_t channel;
  size_t count;
  const int64_t* mono_ns; /* the merge order */
  const uint64_t* log_ns;
  const uint64_t* publish_ns;
  const uint32_t* sequence;
  const uint64_t* offsets;
  const uint8_t* data;
} kqw_stream;

enum { KQW_NONE = 0, KQW_ZSTD = 1, KQW_LZ4 = 2 };

/* Creates (or empties) the file; null on failure ("cannot write PATH: ..."). */
kqw_writer* kqw_open(const char* path, size_t path_len, uint32_t compression,
                     uint64_t chunk_bytes, int32_t* os_error);
int32_t kqw_start(kqw_writer* w, kqw_text profile, kqw_text library, int32_t* os_error);
int32_t kqw_metadata(kqw_writer* w, kqw_text name, size_t count, const kqw_text* keys,
                     const kqw_text* values, int32_t* os_error);
int32_t kqw_schema(kqw_writer* w, kqw_text name, kqw_text encoding, const uint8_t* data,
                   size_t len, uint16_t* id, int32_t* os_error);
int32_t kqw_channel(kqw_writer* w, uint16_t schema, kqw_text topic, kqw_text message_encoding,
                    size_t count, const kqw_text* keys, const kqw_text* values, uint16_t* id,
                    int32_t* os_error);
int32_t kqw_message(kqw_writer* w, uint16_t channel, uint32_t sequence, uint64_t log_time,
                    uint64_t publish_time, const uint8_t* data, size_t len, int32_t* os_error);
/* Merged by mono_ns; each stream keeps its order, ties go to the earlier stream. */
int32_t kqw_merged(kqw_writer* w, size_t count, const kqw_stream* streams, int32_t* os_error);
int32_t kqw_flush(kqw_writer* w, int32_t* os_error);
int32_t kqw_finish(kqw_writer* w, int32_t* os_error);
/* A korvelquor.end record of these entries and the closing records, if there is room; closes
 * the file. 1 when they went in. */
int32_t kqw_salvage(kqw_writer* w, size_t count, const kqw_text* keys, const kqw_text* values);
uint64_t kqw_size(const kqw_writer* w);
void kqw_free(kqw_writer* w);

#ifdef __cplusplus
}
#endif

#endif
