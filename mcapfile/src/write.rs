//! Writing MCAP recordings: a narrow C ABI over the `mcap` crate's writer, shared by the C++
//! Recorder and the Python tools. The crate frames every record; this side decides when its
//! bytes reach the file. Chunks are built in memory and everything the crate produced during
//! one call goes to the kernel at once, so the file always ends on a whole record: a write
//! that fails (disk full) is cut back to the end of the last call that succeeded, and the
//! closing records can still go in after it if there is room.

use std::collections::BTreeMap;
use std::fs::{File, OpenOptions};
use std::io::{self, Seek, SeekFrom, Write};
use std::os::raw::c_char;
use std::os::unix::fs::OpenOptionsExt;
use std::panic::{catch_unwind, AssertUnwindSafe};
use std::sync::{Arc, Mutex};

use mcap::records::{MessageHeader, Metadata};
use mcap::{Compression, McapError, WriteOptions, Writer};

/// Bytes and a length, as the C side passes texts and blobs.
#[repr(C)]
pub struct KqwText {
    pub data: *const c_char,
    pub len: usize,
}

/// One stream's samples of a drained batch, for kqw_merged: arrays of `count` entries,
/// `offsets` of count + 1 into `data`.
#[repr(C)]
pub struct KqwStream {
    pub channel: u16,
    pub count: usize,
    pub mono_ns: *const i64,
    pub log_ns: *const u64,
    pub publish_ns: *const u64,
    pub sequence: *const u32,
    pub offsets: *const u64,
    pub data: *const u8,
}

pub const KQW_NONE: u32 = 0;
pub const KQW_ZSTD: u32 = 1;
pub const KQW_LZ4: u32 = 2;

/// What the crate writes, kept in memory until the call that produced it returns.
#[derive(Clone, Default)]
struct Pending(Arc<Mutex<Vec<u8>>>);

/// The crate's output stream: appends to `Pending`. Its position is the file's plus what is
/// pending; the crate asks for nothing but that (chunks are built in memory, no seeking).
struct Sink {
    pending: Pending,
    committed: Arc<Mutex<u64>>,
}

impl Write for Sink {
    fn write(&mut self, buf: &[u8]) -> io::Result<usize> {
        self.pending.0.lock().unwrap().extend_from_slice(buf);
        Ok(buf.len())
    }
    fn flush(&mut self) -> io::Result<()> {
        Ok(())
    }
}

impl Seek for Sink {
    fn seek(&mut self, pos: SeekFrom) -> io::Result<u64> {
        let here = *self.committed.lock().unwrap() + self.pending.0.lock().unwrap().len() as u64;
        match pos {
            SeekFrom::Current(0) | SeekFrom::End(0) => Ok(here),
            SeekFrom::Start(p) if p == here => Ok(here),
            _ => Err(io::Error::new(io::ErrorKind::Unsupported, "the recording is append-only")),
        }
    }
}

pub struct KqwWriter {
    path: String,
    file: Option<File>,
    /// Bytes in the file, all whole records.
    position: u64,
    committed: Arc<Mutex<u64>>,
    pending: Pending,
    writer: Option<Writer<Sink>>,
    compression: Option<Compression>,
    chunk_bytes: u64,
    /// The reason of the first failure; every later call fails with it.
    failure: Option<(i32, String)>,
}

/// strerror's words for an OS error, without Rust's "(os error N)".
fn os_words(e: &io::Error) -> String {
    let text = e.to_string();
    match text.rfind(" (os error ") {
        Some(at) => text[..at].to_owned(),
        None => text,
    }
}

impl KqwWriter {
    fn reason(&self, what: &str) -> String {
        format!("writing {} failed: {what}", self.path)
    }

    fn fail_os(&mut self, e: &io::Error) -> (i32, String) {
        let f = (e.raw_os_error().unwrap_or(0), self.reason(&os_words(e)));
        self.failure = Some(f.clone());
        f
    }

    /// Writes what the crate produced in the last call; on failure the file is cut back to
    /// the whole records before it.
    fn commit(&mut self) -> Result<(), (i32, String)> {
        let bytes = std::mem::take(&mut *self.pending.0.lock().unwrap());
        if bytes.is_empty() {
            return Ok(());
        }
        let Some(file) = self.file.as_mut() else {
            let f = (0, self.reason("the file is closed"));
            self.failure = Some(f.clone());
            return Err(f);
        };
        if let Err(e) = file.write_all(&bytes) {
            let _ = file.set_len(self.position);
            let _ = file.seek(SeekFrom::Start(self.position));
            return Err(self.fail_os(&e));
        }
        self.position += bytes.len() as u64;
        *self.committed.lock().unwrap() = self.position;
        Ok(())
    }

    /// Runs one crate call and commits its output.
    fn call<T>(
        &mut self,
        f: impl FnOnce(&mut Writer<Sink>) -> Result<T, McapError>,
    ) -> Result<T, (i32, String)> {
        if let Some(failure) = &self.failure {
            return Err(failure.clone());
        }
        let Some(writer) = self.writer.as_mut() else {
            return Err((0, self.reason("the recording was not started or is finished")));
        };
        match f(writer) {
            Ok(value) => {
                self.commit()?;
                Ok(value)
            }
            Err(McapError::Io(e)) => Err(self.fail_os(&e)),
            Err(e) => {
                // A refused call (unknown channel, ...) writes nothing: the file goes on.
                self.pending.0.lock().unwrap().clear();
                Err((0, self.reason(&e.to_string())))
            }
        }
    }

    fn start(&mut self, profile: &str, library: &str) -> Result<(), (i32, String)> {
        if self.writer.is_some() {
            return Err((0, self.reason("the recording was started already")));
        }
        let options = WriteOptions::new()
            .profile(profile)
            .library(library)
            .compression(self.compression)
            .chunk_size(Some(self.chunk_bytes))
            // Compression on the writing thread: the crate's default spreads it over a pool
            // of one thread per core, which costs more CPU in all and takes cores from
            // whatever runs beside the recorder (a control loop).
            .compression_threads(0)
            // zstd level 1: on recorded samples a third less CPU than the default level 3,
            // and files no larger (the payloads repeat from one sample to the next).
            .compression_level(1)
            // Chunks in memory: the file never holds a chunk in progress.
            .disable_seeking(true);
        let sink = Sink { pending: self.pending.clone(), committed: self.committed.clone() };
        match options.create(sink) {
            Ok(w) => self.writer = Some(w),
            Err(McapError::Io(e)) => return Err(self.fail_os(&e)),
            Err(e) => return Err((0, self.reason(&e.to_string()))),
        }
        self.commit()
    }

    fn finish(&mut self) -> Result<(), (i32, String)> {
        self.call(|w| w.finish().map(|_| ()))?;
        self.writer = None;
        self.close();
        Ok(())
    }

    /// After a failed write: the end metadata and the closing records (no summary) after the
    /// last whole record, if there is room. True when they went in. Closes the file.
    fn salvage(&mut self, name: &str, end: BTreeMap<String, String>) -> bool {
        // The crate's own writer, without chunks or summary, frames the closing records.
        let tail = (|| -> Result<Vec<u8>, McapError> {
            let mut out = io::Cursor::new(Vec::new());
            {
                let mut w = WriteOptions::new()
                    .use_chunks(false)
                    .emit_summary_records(false)
                    .emit_summary_offsets(false)
                    .emit_statistics(false)
                    .emit_message_indexes(false)
                    .emit_chunk_indexes(false)
                    .emit_metadata_indexes(false)
                    .calculate_data_section_crc(false)
                    .calculate_summary_section_crc(false)
                    .create(&mut out)?;
                w.write_metadata(&Metadata { name: name.into(), metadata: end })?;
                w.finish()?;
            }
            let bytes = out.into_inner();
            // Past the magic and the header record (opcode, u64 length, body).
            let magic = mcap::MAGIC.len();
            let body = u64::from_le_bytes(bytes[magic + 1..magic + 9].try_into().unwrap());
            Ok(bytes[magic + 9 + body as usize..].to_vec())
        })();
        // The crate writer is dropped without writing anything more to the file.
        if let Some(w) = self.writer.take() {
            drop(w);
        }
        self.pending.0.lock().unwrap().clear();
        let ok = match (tail, self.file.as_mut()) {
            (Ok(tail), Some(file)) => {
                let good = self.position;
                let _ = file.seek(SeekFrom::Start(good));
                if file.write_all(&tail).is_ok() {
                    self.position += tail.len() as u64;
                    true
                } else {
                    let _ = file.set_len(good);
                    false
                }
            }
            _ => false,
        };
        self.close();
        ok
    }

    fn close(&mut self) {
        self.file = None;
    }
}

impl Drop for KqwWriter {
    fn drop(&mut self) {
        // Dropping the crate writer finishes it into the pending buffer only; nothing more
        // reaches the file after a failure or without finish.
        self.file = None;
        self.writer = None;
    }
}

unsafe fn text<'a>(t: &KqwText) -> Result<&'a str, String> {
    if t.len == 0 {
        return Ok("");
    }
    if t.data.is_null() {
        return Err("a text is null".into());
    }
    std::str::from_utf8(std::slice::from_raw_parts(t.data as *const u8, t.len))
        .map_err(|e| format!("a text is not UTF-8: {e}"))
}

unsafe fn bytes<'a>(data: *const u8, len: usize) -> &'a [u8] {
    if data.is_null() || len == 0 {
        &[]
    } else {
        std::slice::from_raw_parts(data, len)
    }
}

unsafe fn text_map(
    count: usize,
    keys: *const KqwText,
    values: *const KqwText,
) -> Result<BTreeMap<String, String>, String> {
    let mut out = BTreeMap::new();
    if count == 0 {
        return Ok(out);
    }
    if keys.is_null() || values.is_null() {
        return Err("metadata keys or values are null".into());
    }
    for i in 0..count {
        out.insert(text(&*keys.add(i))?.to_owned(), text(&*values.add(i))?.to_owned());
    }
    Ok(out)
}

/// Runs `f` on the writer: 0, or -1 with the reason in kqm_last_error and the OS error number
/// (0 when not an OS error) in `*os_error`.
unsafe fn with_writer(
    w: *mut KqwWriter,
    os_error: *mut i32,
    f: impl FnOnce(&mut KqwWriter) -> Result<(), (i32, String)>,
) -> i32 {
    if !os_error.is_null() {
        *os_error = 0;
    }
    if w.is_null() {
        crate::failed("no MCAP writer");
        return -1;
    }
    let w = &mut *w;
    let outcome = catch_unwind(AssertUnwindSafe(|| f(w)))
        .unwrap_or_else(|_| Err((0, w.reason("a panic in the MCAP writer"))));
    match outcome {
        Ok(()) => 0,
        Err((code, reason)) => {
            if !os_error.is_null() {
                *os_error = code;
            }
            crate::failed(reason);
            -1
        }
    }
}

/// Creates (or empties) the file. Null on failure: the reason in kqm_last_error, the OS error
/// number in `*os_error`. `compression`: KQW_NONE, KQW_ZSTD or KQW_LZ4.
#[no_mangle]
pub unsafe extern "C" fn kqw_open(
    path: *const c_char,
    path_len: usize,
    compression: u32,
    chunk_bytes: u64,
    os_error: *mut i32,
) -> *mut KqwWriter {
    if !os_error.is_null() {
        *os_error = 0;
    }
    let path = match text(&KqwText { data: path, len: path_len }) {
        Ok(p) => p.to_owned(),
        Err(e) => {
            crate::failed(format!("the recording's path: {e}"));
            return std::ptr::null_mut();
        }
    };
    let compression = match compression {
        KQW_NONE => None,
        KQW_ZSTD => Some(Compression::Zstd),
        KQW_LZ4 => Some(Compression::Lz4),
        other => {
            crate::failed(format!("no compression numbered {other}"));
            return std::ptr::null_mut();
        }
    };
    let file = OpenOptions::new().write(true).create(true).truncate(true).mode(0o644).open(&path);
    match file {
        Ok(file) => Box::into_raw(Box::new(KqwWriter {
            path,
            file: Some(file),
            position: 0,
            committed: Arc::new(Mutex::new(0)),
            pending: Pending::default(),
            writer: None,
            compression,
            chunk_bytes,
            failure: None,
        })),
        Err(e) => {
            if !os_error.is_null() {
                *os_error = e.raw_os_error().unwrap_or(0);
            }
            crate::failed(format!("cannot write {path}: {}", os_words(&e)));
            std::ptr::null_mut()
        }
    }
}

/// The magic and the header record.
#[no_mangle]
pub unsafe extern "C" fn kqw_start(
    w: *mut KqwWriter,
    profile: KqwText,
    library: KqwText,
    os_error: *mut i32,
) -> i32 {
    with_writer(w, os_error, |w| {
        let profile = text(&profile).map_err(|e| (0, w.reason(&e)))?;
        let library = text(&library).map_err(|e| (0, w.reason(&e)))?;
        w.start(profile, library)
    })
}

/// A metadata record (it ends the chunk in progress).
#[no_mangle]
pub unsafe extern "C" fn kqw_metadata(
    w: *mut KqwWriter,
    name: KqwText,
    count: usize,
    keys: *const KqwText,
    values: *const KqwText,
    os_error: *mut i32,
) -> i32 {
    with_writer(w, os_error, |w| {
        let name = text(&name).map_err(|e| (0, w.reason(&e)))?.to_owned();
        let metadata = text_map(count, keys, values).map_err(|e| (0, w.reason(&e)))?;
        w.call(|m| m.write_metadata(&Metadata { name, metadata }))
    })
}

/// A schema; its id (the same for the same content) in `*id`.
#[no_mangle]
pub unsafe extern "C" fn kqw_schema(
    w: *mut KqwWriter,
    name: KqwText,
    encoding: KqwText,
    data: *const u8,
    len: usize,
    id: *mut u16,
    os_error: *mut i32,
) -> i32 {
    with_writer(w, os_error, |w| {
        let name = text(&name).map_err(|e| (0, w.reason(&e)))?;
        let encoding = text(&encoding).map_err(|e| (0, w.reason(&e)))?;
        let got = w.call(|m| m.add_schema(name, encoding, bytes(data, len)))?;
        if !id.is_null() {
            *id = got;
        }
        Ok(())
    })
}

/// A channel (schema 0: none) with its metadata; its id in `*id`.
#[no_mangle]
pub unsafe extern "C" fn kqw_channel(
    w: *mut KqwWriter,
    schema: u16,
    topic: KqwText,
    message_encoding: KqwText,
    count: usize,
    keys: *const KqwText,
    values: *const KqwText,
    id: *mut u16,
    os_error: *mut i32,
) -> i32 {
    with_writer(w, os_error, |w| {
        let topic = text(&topic).map_err(|e| (0, w.reason(&e)))?;
        let encoding = text(&message_encoding).map_err(|e| (0, w.reason(&e)))?;
        let metadata = text_map(count, keys, values).map_err(|e| (0, w.reason(&e)))?;
        let got = w.call(|m| m.add_channel(schema, topic, encoding, &metadata))?;
        if !id.is_null() {
            *id = got;
        }
        Ok(())
    })
}

/// One message.
#[no_mangle]
pub unsafe extern "C" fn kqw_message(
    w: *mut KqwWriter,
    channel: u16,
    sequence: u32,
    log_time: u64,
    publish_time: u64,
    data: *const u8,
    len: usize,
    os_error: *mut i32,
) -> i32 {
    with_writer(w, os_error, |w| {
        let header = MessageHeader { channel_id: channel, sequence, log_time, publish_time };
        w.call(|m| m.write_to_known_channel(&header, bytes(data, len)))
    })
}

/// The samples of several streams, merged by monotonic receive time: each stream keeps its
/// order, and of samples received at the same time the earlier stream's go first.
#[no_mangle]
pub unsafe extern "C" fn kqw_merged(
    w: *mut KqwWriter,
    count: usize,
    streams: *const KqwStream,
    os_error: *mut i32,
) -> i32 {
    with_writer(w, os_error, |w| {
        if count == 0 {
            return Ok(());
        }
        if streams.is_null() {
            return Err((0, w.reason("no streams")));
        }
        let streams = std::slice::from_raw_parts(streams, count);
        for s in streams {
            if s.count > 0
                && (s.mono_ns.is_null()
                    || s.log_ns.is_null()
                    || s.publish_ns.is_null()
                    || s.sequence.is_null()
                    || s.offsets.is_null())
            {
                return Err((0, w.reason("a stream's columns are null")));
            }
            for i in 0..s.count {
                if *s.offsets.add(i + 1) < *s.offsets.add(i) {
                    return Err((0, w.reason("a stream's payload offsets fall")));
                }
            }
        }
        let mut next = vec![0usize; streams.len()];
        w.call(|m| {
            loop {
                // The stream whose next sample came first (ties: the earlier stream).
                let mut pick: Option<(usize, i64)> = None;
                for (k, s) in streams.iter().enumerate() {
                    if next[k] < s.count {
                        let t = *s.mono_ns.add(next[k]);
                        if pick.map_or(true, |(_, best)| t < best) {
                            pick = Some((k, t));
                        }
                    }
                }
                let Some((k, _)) = pick else { break };
                let s = &streams[k];
                let i = next[k];
                next[k] += 1;
                let (from, to) = (*s.offsets.add(i), *s.offsets.add(i + 1));
                let data = bytes(s.data.add(from as usize), (to - from) as usize);
                let header = MessageHeader {
                    channel_id: s.channel,
                    sequence: *s.sequence.add(i),
                    log_time: *s.log_ns.add(i),
                    publish_time: *s.publish_ns.add(i),
                };
                m.write_to_known_channel(&header, data)?;
            }
            Ok(())
        })
    })
}

/// Ends the chunk in progress and writes it out.
#[no_mangle]
pub unsafe extern "C" fn kqw_flush(w: *mut KqwWriter, os_error: *mut i32) -> i32 {
    with_writer(w, os_error, |w| w.call(|m| m.flush()))
}

/// The closing records (summary, footer); the file is then complete and closed.
#[no_mangle]
pub unsafe extern "C" fn kqw_finish(w: *mut KqwWriter, os_error: *mut i32) -> i32 {
    with_writer(w, os_error, |w| w.finish())
}

/// After a failed write: closes the file with a metadata record `name` of these entries and
/// the closing records, if there is room. 1 when they went in, else 0.
#[no_mangle]
pub unsafe extern "C" fn kqw_salvage(
    w: *mut KqwWriter,
    name: KqwText,
    count: usize,
    keys: *const KqwText,
    values: *const KqwText,
) -> i32 {
    if w.is_null() {
        return 0;
    }
    let w = &mut *w;
    let (Ok(name), Ok(end)) = (text(&name), text_map(count, keys, values)) else { return 0 };
    catch_unwind(AssertUnwindSafe(|| w.salvage(name, end))).unwrap_or(false) as i32
}

/// Bytes in the file, all of them whole records.
#[no_mangle]
pub unsafe extern "C" fn kqw_size(w: *const KqwWriter) -> u64 {
    if w.is_null() {
        0
    } else {
        (*w).position
    }
}

/// Closes the file (as it is: complete only after kqw_finish) and frees the handle.
#[no_mangle]
pub unsafe extern "C" fn kqw_free(w: *mut KqwWriter) {
    if !w.is_null() {
        let w = Box::from_raw(w);
        let _ = catch_unwind(AssertUnwindSafe(move || drop(w)));
    }
}
