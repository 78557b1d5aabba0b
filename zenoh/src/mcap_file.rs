//! Reading MCAP files for the korvelquor recording layer: a narrow C ABI over the `mcap`
//! crate's streaming reader. The file is read front to back with memory bounded by one
//! chunk; every record reaches C++ through a visitor, chunks already decompressed and split.
//! A file cut short or a damaged chunk is not an error here: the reader stops (or skips the
//! chunk) and says where, so that everything complete stays readable.

use std::ffi::c_void;
use std::fs::File;
use std::io::{Read, Seek, SeekFrom};
use std::os::raw::c_char;
use std::panic::{catch_unwind, AssertUnwindSafe};

use mcap::records::Record;
use mcap::sans_io::linear_reader::{LinearReadEvent, LinearReader, LinearReaderOptions};

/// A text handed to C++: bytes and length, valid for the duration of the callback.
#[repr(C)]
pub struct KqmStr {
    pub data: *const c_char,
    pub len: usize,
}

impl KqmStr {
    fn of(s: &str) -> Self {
        KqmStr { data: s.as_ptr() as *const c_char, len: s.len() }
    }
}

/// What the reader hands over, record by record.
#[repr(C)]
pub struct KqmVisitor {
    pub context: *mut c_void,
    pub header: extern "C" fn(*mut c_void, KqmStr, KqmStr),
    pub metadata: extern "C" fn(*mut c_void, KqmStr, usize, *const KqmStr, *const KqmStr),
    /// id, topic, message encoding, the channel metadata's keys and values.
    pub channel: extern "C" fn(*mut c_void, u16, KqmStr, KqmStr, usize, *const KqmStr, *const KqmStr),
    /// channel, sequence, log time, publish time, data.
    pub message: extern "C" fn(*mut c_void, u16, u32, u64, u64, *const u8, usize),
}

/// How the file ended, known once `kqm_reader_read` returned 0.
#[repr(C)]
pub struct KqmEnd {
    pub complete: bool,
    pub size: u64,
    pub good_bytes: u64,
    pub problem: KqmStr,
    /// Damaged records skipped (kqm_reader_skipped tells each).
    pub skipped: usize,
}

pub struct KqmReader {
    file: File,
    size: u64,
    reader: LinearReader,
    /// File bytes up to the end of the last complete record yielded.
    good_bytes: u64,
    done: bool,
    complete: bool,
    problem: String,
    skipped: Vec<(u64, String)>,
    /// The messages of one chunk, handed over only once the whole chunk proved sound.
    pending: Vec<Pending>,
}

/// The longest record taken as a record: a length beyond it is what random bytes or a cut
/// give, and no recording writes records anywhere near it.
const RECORD_LIMIT: usize = 1 << 30;
/// Bytes read from the file at once.
const READ_BLOCK: usize = 1 << 20;
const RECORD_HEAD: u64 = 9;

fn kv(map: &std::collections::BTreeMap<String, String>) -> (Vec<KqmStr>, Vec<KqmStr>) {
    (map.keys().map(|k| KqmStr::of(k)).collect(), map.values().map(|v| KqmStr::of(v)).collect())
}

impl KqmReader {
    fn open(path: &str) -> Result<Self, String> {
        let mut file = File::open(path).map_err(|e| format!("cannot open {path}: {e}"))?;
        let size = file.metadata().map_err(|e| format!("cannot read {path}: {e}"))?.len();
        let mut magic = [0u8; 8];
        let n = file.read(&mut magic).map_err(|e| format!("cannot read {path}: {e}"))?;
        if n < magic.len() || magic != *mcap::MAGIC {
            return Err("not an MCAP file (it does not begin with the MCAP magic bytes)".into());
        }
        let options = LinearReaderOptions::default()
            .with_skip_start_magic(true)
            .with_emit_chunks(true)
            .with_record_length_limit(RECORD_LIMIT);
        Ok(KqmReader {
            file,
            size,
            reader: LinearReader::new_with_options(options),
            good_bytes: mcap::MAGIC.len() as u64,
            done: false,
            complete: false,
            problem: String::new(),
            skipped: Vec::new(),
            pending: Vec::new(),
        })
    }

    /// Hands over records until `min_messages` messages went out (at least one record) or
    /// the file ended. False once it has ended.
    fn read(&mut self, min_messages: usize, v: &KqmVisitor) -> bool {
        let mut sent = 0usize;
        let mut records = 0usize;
        while !self.done && (records == 0 || sent < min_messages) {
            let event = match self.reader.next_event() {
                None => {
                    self.done = true;
                    self.complete = true;
                    self.good_bytes = self.size;
                    break;
                }
                Some(Err(_)) => {
                    self.done = true;
                    self.problem = self.why_stopped();
                    break;
                }
                Some(Ok(event)) => event,
            };
            match event {
                LinearReadEvent::ReadRequest(need) => {
                    let want = need.clamp(1, READ_BLOCK);
                    let buf = self.reader.insert(want);
                    let n = loop {
                        match self.file.read(buf) {
                            Err(e) if e.kind() == std::io::ErrorKind::Interrupted => continue,
                            other => break other.unwrap_or(0),
                        }
                    };
                    self.reader.notify_read(n);
                }
                LinearReadEvent::Record { data, opcode } => {
                    let at = self.good_bytes;
                    let length = RECORD_HEAD + data.len() as u64;
                    // parse_record borrows `data`, which borrows the reader; the chunk's
                    // messages are copied out before the next event.
                    let outcome = visit(opcode, data, v, &mut self.pending);
                    self.good_bytes = at + length;
                    records += 1;
                    match outcome {
                        Ok(()) => {
                            for (ch, seq, log, publish, bytes) in self.pending.drain(..) {
                                (v.message)(v.context, ch, seq, log, publish, bytes.as_ptr(), bytes.len());
                                sent += 1;
                            }
                        }
                        Err(why) => {
                            self.pending.clear();
                            self.skipped.push((at, why));
                        }
                    }
                }
            }
        }
        !self.done
    }

    /// Why the reader stopped before the end: the file looked at from the last complete
    /// record on (only the closing records, which the reader takes in without yielding, can
    /// sit between it and the cut).
    fn why_stopped(&mut self) -> String {
        let mut at = self.good_bytes;
        loop {
            let left = self.size.saturating_sub(at);
            if left == 0 {
                return "the file ends without its closing records".into();
            }
            if left < RECORD_HEAD {
                return format!("the file ends inside a record header at byte {}", self.size);
            }
            let mut head = [0u8; RECORD_HEAD as usize];
            if self.file.seek(SeekFrom::Start(at)).is_err() || self.file.read_exact(&mut head).is_err() {
                return format!("the file cannot be read from byte {at} on");
            }
            let length = u64::from_le_bytes(head[1..].try_into().unwrap());
            if length > left - RECORD_HEAD {
                return format!(
                    "the file ends inside a record that starts at byte {at} and announces {length} bytes"
                );
            }
            at += RECORD_HEAD + length;
            if head[0] == mcap::records::op::FOOTER {
                self.good_bytes = at;
                return "the closing magic bytes are missing".into();
            }
        }
    }
}

fn visit(
    opcode: u8,
    data: &[u8],
    v: &KqmVisitor,
    pending: &mut Vec<Pending>,
) -> Result<(), String> {
    match mcap::parse_record(opcode, data).map_err(|e| e.to_string())? {
        Record::Header(h) => (v.header)(v.context, KqmStr::of(&h.profile), KqmStr::of(&h.library)),
        Record::Metadata(m) => {
            let (keys, values) = kv(&m.metadata);
            (v.metadata)(v.context, KqmStr::of(&m.name), keys.len(), keys.as_ptr(), values.as_ptr());
        }
        Record::Chunk { header, data } => {
            for record in mcap::read::ChunkReader::new(header, &data).map_err(|e| e.to_string())? {
                match record.map_err(|e| e.to_string())? {
                    Record::Channel(c) => channel(v, &c),
                    Record::Message { header, data } => pending.push(message(header, data)),
                    _ => {}
                }
            }
        }
        Record::Channel(c) => channel(v, &c),
        Record::Message { header, data } => pending.push(message(header, data)),
        _ => {}
    }
    Ok(())
}

type Pending = (u16, u32, u64, u64, Vec<u8>);

fn message(header: mcap::records::MessageHeader, data: std::borrow::Cow<'_, [u8]>) -> Pending {
    (header.channel_id, header.sequence, header.log_time, header.publish_time, data.into_owned())
}

fn channel(v: &KqmVisitor, c: &mcap::records::Channel) {
    let (keys, values) = kv(&c.metadata);
    (v.channel)(
        v.context,
        c.id,
        KqmStr::of(&c.topic),
        KqmStr::of(&c.message_encoding),
        keys.len(),
        keys.as_ptr(),
        values.as_ptr(),
    );
}

/// Opens `path` (UTF-8, `len` bytes) and checks its magic bytes. On failure returns null and
/// leaves the reason for kz_last_error.
#[no_mangle]
pub unsafe extern "C" fn kqm_reader_open(path: *const c_char, len: usize) -> *mut KqmReader {
    let path = match std::str::from_utf8(std::slice::from_raw_parts(path as *const u8, len)) {
        Ok(p) => p,
        Err(e) => {
            crate::failed(crate::Z_EINVAL, format!("path is not UTF-8: {e}"));
            return std::ptr::null_mut();
        }
    };
    match KqmReader::open(path) {
        Ok(r) => Box::into_raw(Box::new(r)),
        Err(reason) => {
            crate::failed(crate::Z_EINVAL, reason);
            std::ptr::null_mut()
        }
    }
}

/// Hands records to `visitor` until at least `min_messages` messages went out (and at least
/// one record) or the file ended. 1 while records remain, 0 at the end, -1 on a panic.
#[no_mangle]
pub unsafe extern "C" fn kqm_reader_read(
    reader: *mut KqmReader,
    min_messages: usize,
    visitor: *const KqmVisitor,
) -> i32 {
    let (reader, visitor) = (&mut *reader, &*visitor);
    match catch_unwind(AssertUnwindSafe(|| reader.read(min_messages, visitor))) {
        Ok(more) => more as i32,
        Err(_) => {
            reader.done = true;
            crate::failed(crate::Z_EGENERIC, "panic in the MCAP reader");
            -1
        }
    }
}

/// How the file ended; the texts live as long as the reader.
#[no_mangle]
pub unsafe extern "C" fn kqm_reader_end(reader: *const KqmReader, end: *mut KqmEnd) {
    let r = &*reader;
    *end = KqmEnd {
        complete: r.complete,
        size: r.size,
        good_bytes: r.good_bytes,
        problem: KqmStr::of(&r.problem),
        skipped: r.skipped.len(),
    };
}

/// The `index`th damaged record skipped: where it starts and why (valid while the reader
/// lives). False past the last.
#[no_mangle]
pub unsafe extern "C" fn kqm_reader_skipped(
    reader: *const KqmReader,
    index: usize,
    at: *mut u64,
    why: *mut KqmStr,
) -> bool {
    let reader = &*reader;
    match reader.skipped.get(index) {
        Some((start, reason)) => {
            *at = *start;
            *why = KqmStr::of(reason);
            true
        }
        None => false,
    }
}

#[no_mangle]
pub unsafe extern "C" fn kqm_reader_free(reader: *mut KqmReader) {
    if !reader.is_null() {
        drop(Box::from_raw(reader));
    }
}

/// A recording's metadata values that hold a flat JSON object (joint-group tables): each
/// entry goes to `entry` as its key and its value's JSON text (strings unquoted, with
/// `is_text`). 0, or -1 when the text is not a JSON object (the reason for kz_last_error:
/// "not JSON (...)" or "JSON, but an array" and so on).
#[no_mangle]
pub unsafe extern "C" fn kqm_json_object(
    text: *const c_char,
    len: usize,
    context: *mut c_void,
    entry: extern "C" fn(*mut c_void, KqmStr, KqmStr, bool),
) -> i32 {
    let bytes = std::slice::from_raw_parts(text as *const u8, len);
    let object: serde_json::Map<String, serde_json::Value> = match serde_json::from_slice(bytes) {
        Ok(serde_json::Value::Object(o)) => o,
        Ok(other) => {
            let kind = match other {
                serde_json::Value::Array(_) => "an array",
                serde_json::Value::String(_) => "a string",
                serde_json::Value::Number(_) => "a number",
                serde_json::Value::Bool(_) => "a boolean",
                _ => "null",
            };
            crate::failed(crate::Z_EINVAL, format!("JSON, but {kind}"));
            return -1;
        }
        Err(e) => {
            crate::failed(crate::Z_EINVAL, format!("not JSON ({e})"));
            return -1;
        }
    };
    for (key, value) in &object {
        match value {
            serde_json::Value::String(s) => entry(context, KqmStr::of(key), KqmStr::of(s), true),
            other => {
                let shown = other.to_string();
                entry(context, KqmStr::of(key), KqmStr::of(&shown), false)
            }
        }
    }
    0
}
