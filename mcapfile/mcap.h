/* The C ABI of the MCAP crate (mcapfile/src/). Texts are bytes and a length. A call that
 * fails leaves its reason for kqm_last_error, on the calling thread. */
#ifndef KORVELQUOR_MCAP_H
#define KORVELQUOR_MCAP_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Copies the reason for the calling thread's latest failure into `buffer` (cut to size - 1
 * bytes, zero-terminated) and returns its full length. */
size_t kqm_last_error(char* buffer, size_t size);

/* Reading (src/read.rs). Texts handed out are valid only during the callback (or, for
 * kqm_end, while the reader lives). */
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

/* Null on failure; the reason is then kqm_last_error's. */
kqm_reader* kqm_reader_open(const char* path, size_t len);
/* 1 while records remain, 0 at the end of the file (cut or not), -1 on an internal fault (the
 * reason, naming the file and byte: kqm_last_error), -2 when a callback stopped it. */
int32_t kqm_reader_read(kqm_reader* reader, size_t min_messages, const kqm_visitor* visitor);
/* From now on only the chunks whose messages' log times overlap [lo, hi] (ns), through the
 * file's chunk index, with the header, the summary's channels and every metadata record, in
 * file order. 1 when so; 0 when the file has no usable index or reading has begun (the
 * reader then reads the whole file front to back), -1 on a panic. */
int32_t kqm_reader_window(kqm_reader* reader, uint64_t lo, uint64_t hi);
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
 * is_text set). 0, -1 when the text is no JSON object (the reason: kqm_last_error), -2 when
 * `entry` returned non-zero. */
int32_t kqm_json_object(const char* text, size_t len, void* context,
                        int32_t (*entry)(void* context, kqm_str key, kqm_str value, bool is_text));

/* Writing (src/write.rs). Every call that writes returns 0, or -1 with the reason ("writing
 * PATH failed: ...") for kqm_last_error and the OS error number (0 when the failure is not
 * the system's) in *os_error. After a failed write the file ends on the last whole record;
 * kqw_salvage then closes it. */
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
kqw_writer* kqw_open(const char* path, size_t path_len, uint32_t compression, uint64_t chunk_bytes,
                     int32_t* os_error);
int32_t kqw_start(kqw_writer* w, kqw_text profile, kqw_text library, int32_t* os_error);
int32_t kqw_metadata(kqw_writer* w, kqw_text name, size_t count, const kqw_text* keys,
                     const kqw_text* values, int32_t* os_error);
int32_t kqw_schema(kqw_writer* w, kqw_text name, kqw_text encoding, const uint8_t* data, size_t len,
                   uint16_t* id, int32_t* os_error);
int32_t kqw_channel(kqw_writer* w, uint16_t schema, kqw_text topic, kqw_text message_encoding,
                    size_t count, const kqw_text* keys, const kqw_text* values, uint16_t* id,
                    int32_t* os_error);
int32_t kqw_message(kqw_writer* w, uint16_t channel, uint32_t sequence, uint64_t log_time,
                    uint64_t publish_time, const uint8_t* data, size_t len, int32_t* os_error);
/* Merged by mono_ns; each stream keeps its order, ties go to the earlier stream. */
int32_t kqw_merged(kqw_writer* w, size_t count, const kqw_stream* streams, int32_t* os_error);
int32_t kqw_flush(kqw_writer* w, int32_t* os_error);
int32_t kqw_finish(kqw_writer* w, int32_t* os_error);
/* A metadata record `name` of these entries and the closing records, if there is room; closes
 * the file. 1 when they went in. */
int32_t kqw_salvage(kqw_writer* w, kqw_text name, size_t count, const kqw_text* keys,
                    const kqw_text* values);
uint64_t kqw_size(const kqw_writer* w);
void kqw_free(kqw_writer* w);

#ifdef __cplusplus
}
#endif

#endif
