//! Reading MCAP files: a narrow C ABI over the `mcap`
//! crate's streaming reader. The file is read front to back with memory bounded by one
//! chunk; every record reaches C++ through a visitor, chunks already decompressed and split.
//! A file cut short or a damaged chunk is not an error here: the reader stops (or skips the
//! chunk) and says where, so that everything complete stays readable.
//!
//! Nothing read from the file sizes memory beyond what the file can hold: a record, a chunk's
//! compressed and uncompressed bytes are at most `RECORD_LIMIT`; a record inside a chunk at
//! most the chunk's uncompressed size; a length field inside a record at most the record's
//! own bytes (checked before the crate parses it, because its parser reserves what a length
//! field announces). A chunk that carries a CRC is checked before any of its records is
//! parsed.

use std::ffi::c_void;
use std::fs::File;
use std::io::{Read, Seek, SeekFrom};
use std::os::raw::c_char;
use std::panic::{catch_unwind, AssertUnwindSafe};

use mcap::records::{op, Record};
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

/// What the reader hands over, record by record. A callback returns 0 to go on; anything
/// else stops the reading at once (the C++ side failed and keeps its own error).
#[repr(C)]
pub struct KqmVisitor {
    pub context: *mut c_void,
    pub header: extern "C" fn(*mut c_void, KqmStr, KqmStr) -> i32,
    pub metadata: extern "C" fn(*mut c_void, KqmStr, usize, *const KqmStr, *const KqmStr) -> i32,
    /// id, topic, message encoding, the channel metadata's keys and values.
    pub channel:
        extern "C" fn(*mut c_void, u16, KqmStr, KqmStr, usize, *const KqmStr, *const KqmStr) -> i32,
    /// channel, sequence, log time, publish time, data.
    pub message: extern "C" fn(*mut c_void, u16, u32, u64, u64, *const u8, usize) -> i32,
}

/// How the file ended, known once `kqm_reader_read` returned 0.
#[repr(C)]
pub struct KqmEnd {
    pub complete: bool,
    /// Reading stopped because the file could not be read (an I/O error), not at a cut.
    pub read_error: bool,
    pub size: u64,
    pub good_bytes: u64,
    pub problem: KqmStr,
    /// Damaged records skipped (kqm_reader_skipped tells each).
    pub skipped: usize,
}

/// The longest record, and the most bytes a chunk may hold compressed or uncompressed: a
/// length beyond it is what random bytes or a flipped bit give. The writers make chunks of
/// about 1 MiB.
pub const RECORD_LIMIT: usize = 64 << 20;
/// Bytes read from the file at once.
const READ_BLOCK: usize = 1 << 20;
const RECORD_HEAD: u64 = 9;

/// The C++ side stopped the reading from a callback.
struct Stopped;

pub struct KqmReader {
    path: String,
    file: File,
    size: u64,
    reader: LinearReader,
    /// File bytes up to the end of the last complete record yielded.
    good_bytes: u64,
    /// File bytes handed to the crate so far.
    fed: u64,
    /// The opcode of the last complete record.
    last_opcode: u8,
    done: bool,
    complete: bool,
    read_error: bool,
    problem: String,
    skipped: Vec<(u64, String)>,
    /// The messages of one chunk, handed over only once the whole chunk proved sound.
    pending: Vec<Pending>,
    chunks: Chunks,
    /// A read through the file's index (kqm_reader_window): what is left to hand over, in
    /// file order. None: the file is read front to back.
    plan: Option<std::collections::VecDeque<Step>>,
    record: Vec<u8>,
}

/// One step of a read through the index.
enum Step {
    Channel(mcap::records::Channel),
    /// A whole record (opcode and length included) at this byte, of this many bytes.
    Record(u64, u64),
}

fn kv(map: &std::collections::BTreeMap<String, String>) -> (Vec<KqmStr>, Vec<KqmStr>) {
    (map.keys().map(|k| KqmStr::of(k)).collect(), map.values().map(|v| KqmStr::of(v)).collect())
}

/// strerror's words for an OS error, without Rust's "(os error N)".
fn os_words(e: &std::io::Error) -> String {
    let text = e.to_string();
    match text.rfind(" (os error ") {
        Some(at) => text[..at].to_owned(),
        None => text,
    }
}

impl KqmReader {
    fn open(path: &str) -> Result<Self, String> {
        let mut file =
            File::open(path).map_err(|e| format!("cannot open {path}: {}", os_words(&e)))?;
        let size =
            file.metadata().map_err(|e| format!("cannot read {path}: {}", os_words(&e)))?.len();
        let mut magic = [0u8; 8];
        let n = read_full(&mut file, &mut magic)
            .map_err(|e| format!("cannot read {path}: {}", os_words(&e)))?;
        if n < magic.len() || magic != *mcap::MAGIC {
            return Err("not an MCAP file (it does not begin with the MCAP magic bytes)".into());
        }
        let options = LinearReaderOptions::default()
            .with_skip_start_magic(true)
            .with_emit_chunks(true)
            .with_record_length_limit(RECORD_LIMIT);
        Ok(KqmReader {
            path: path.to_owned(),
            file,
            size,
            reader: LinearReader::new_with_options(options),
            good_bytes: mcap::MAGIC.len() as u64,
            fed: mcap::MAGIC.len() as u64,
            last_opcode: 0,
            done: false,
            complete: false,
            read_error: false,
            problem: String::new(),
            skipped: Vec::new(),
            pending: Vec::new(),
            chunks: Chunks::default(),
            plan: None,
            record: Vec::new(),
        })
    }

    /// From now on only the chunks whose messages' log times overlap [lo, hi], found through
    /// the file's chunk index, with the header, the summary's channels and every metadata
    /// record, in file order. False (and nothing changed) when the file has no usable index.
    fn window(&mut self, lo: u64, hi: u64) -> bool {
        if self.fed != mcap::MAGIC.len() as u64 {
            return false; // reading has begun: the rest is read front to back
        }
        let Some(summary) = summary(&self.path) else { return false };
        let Some(header_length) = self.header_length() else { return false };
        let mut records: Vec<(u64, u64)> = summary.metadata.clone();
        records
            .extend(summary.chunks.iter().filter(|c| c.0 <= hi && c.1 >= lo).map(|c| (c.2, c.3)));
        records.sort_unstable();
        let mut plan = std::collections::VecDeque::new();
        plan.push_back(Step::Record(mcap::MAGIC.len() as u64, header_length));
        // The channels where the first chunk would bring them: after the metadata records
        // that come before it, as in the file.
        let chunk_set: std::collections::HashSet<u64> =
            summary.chunks.iter().map(|c| c.2).collect();
        let first_chunk = records.iter().position(|r| chunk_set.contains(&r.0));
        let (head, tail) = records.split_at(first_chunk.unwrap_or(records.len()));
        plan.extend(head.iter().map(|&(at, n)| Step::Record(at, n)));
        plan.extend(summary.channels.into_iter().map(|(c, _)| Step::Channel(c)));
        plan.extend(tail.iter().map(|&(at, n)| Step::Record(at, n)));
        self.plan = Some(plan);
        true
    }

    /// The header record's length; the file is left where the front-to-back reading is.
    fn header_length(&mut self) -> Option<u64> {
        let mut head = [0u8; RECORD_HEAD as usize];
        let read = self.file.read_exact(&mut head);
        self.file.seek(SeekFrom::Start(self.fed)).ok()?;
        read.ok()?;
        let length = u64::from_le_bytes(head[1..].try_into().unwrap());
        (head[0] == op::HEADER && length <= RECORD_LIMIT as u64).then_some(RECORD_HEAD + length)
    }

    /// `read` through the index: every step's record read at its place, checked as the
    /// front-to-back reading checks it; a damaged one is skipped and said.
    fn read_planned(&mut self, min_messages: usize, v: &KqmVisitor) -> Result<bool, Stopped> {
        let mut sent = 0usize;
        let mut steps = 0usize;
        while steps == 0 || sent < min_messages {
            let Some(step) = self.plan.as_mut().and_then(|p| p.pop_front()) else {
                self.done = true;
                self.complete = true;
                self.good_bytes = self.size;
                return Ok(false);
            };
            steps += 1;
            let (at, outcome) = match step {
                Step::Channel(c) => (0, channel(v, &c)),
                Step::Record(at, length) => (at, self.planned_record(at, length, v)),
            };
            sent += self.settle(at, outcome, v)?;
        }
        Ok(true)
    }

    fn planned_record(&mut self, at: u64, length: u64, v: &KqmVisitor) -> Result<(), Visit> {
        if !(RECORD_HEAD..=RECORD_HEAD + RECORD_LIMIT as u64).contains(&length)
            || at.saturating_add(length) > self.size
        {
            return Err(Visit::Damaged(format!(
                "an index entry for {length} bytes at byte {at}, past the file's {}",
                self.size
            )));
        }
        self.record.resize(length as usize, 0);
        if let Err(e) =
            self.file.seek(SeekFrom::Start(at)).and_then(|_| self.file.read_exact(&mut self.record))
        {
            return Err(Visit::Damaged(format!("cannot read byte {at}: {}", os_words(&e))));
        }
        let opcode = self.record[0];
        let announced = u64::from_le_bytes(self.record[1..9].try_into().unwrap());
        if announced != length - RECORD_HEAD {
            return Err(Visit::Damaged(format!(
                "a record that announces {announced} bytes where the index has {}",
                length - RECORD_HEAD
            )));
        }
        visit(opcode, &self.record[RECORD_HEAD as usize..], v, &mut self.chunks, &mut self.pending)
    }

    /// After a record at byte `at` was visited: its messages to the visitor (how many went),
    /// or the damage said and the record skipped.
    fn settle(
        &mut self,
        at: u64,
        outcome: Result<(), Visit>,
        v: &KqmVisitor,
    ) -> Result<usize, Stopped> {
        match outcome {
            Ok(()) => self.hand_over(v),
            Err(Visit::Damaged(why)) => {
                self.pending.clear();
                self.skipped.push((at, why));
                Ok(0)
            }
            Err(Visit::Stopped) => {
                self.done = true;
                Err(Stopped)
            }
        }
    }

    /// The messages of the record just visited, to the visitor; how many went.
    fn hand_over(&mut self, v: &KqmVisitor) -> Result<usize, Stopped> {
        let mut sent = 0;
        for (ch, seq, log, publish, bytes) in self.pending.drain(..) {
            if (v.message)(v.context, ch, seq, log, publish, bytes.as_ptr(), bytes.len()) != 0 {
                self.done = true;
                return Err(Stopped);
            }
            sent += 1;
        }
        Ok(sent)
    }

    /// Hands over records until `min_messages` messages went out (at least one record) or
    /// the file ended. False once it has ended.
    fn read(&mut self, min_messages: usize, v: &KqmVisitor) -> Result<bool, Stopped> {
        if self.plan.is_some() {
            return if self.done { Ok(false) } else { self.read_planned(min_messages, v) };
        }
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
                Some(Err(e)) => {
                    self.done = true;
                    self.problem = self.why_stopped(&e.to_string());
                    break;
                }
                Some(Ok(event)) => event,
            };
            match event {
                LinearReadEvent::ReadRequest(need) => {
                    // No more than the file holds: the crate zero-fills what it is given.
                    let left =
                        usize::try_from(self.size.saturating_sub(self.fed)).unwrap_or(usize::MAX);
                    let want = need.clamp(1, READ_BLOCK).min(left.max(4096));
                    let buf = self.reader.insert(want);
                    let n = loop {
                        match self.file.read(buf) {
                            Err(e) if e.kind() == std::io::ErrorKind::Interrupted => continue,
                            other => break other,
                        }
                    };
                    match n {
                        Ok(n) => {
                            self.reader.notify_read(n);
                            self.fed += n as u64;
                        }
                        Err(e) => {
                            self.reader.notify_read(0);
                            self.done = true;
                            self.read_error = true;
                            self.problem =
                                format!("cannot read from byte {}: {}", self.fed, os_words(&e));
                            break;
                        }
                    }
                }
                LinearReadEvent::Record { data, opcode } => {
                    let at = self.good_bytes;
                    let length = RECORD_HEAD + data.len() as u64;
                    // `data` borrows the reader; the chunk's messages are copied out before
                    // the next event.
                    let outcome = visit(opcode, data, v, &mut self.chunks, &mut self.pending);
                    self.good_bytes = at + length;
                    self.last_opcode = opcode;
                    records += 1;
                    sent += self.settle(at, outcome, v)?;
                }
            }
        }
        Ok(!self.done)
    }

    /// Why the reader stopped before the end: the file looked at from the last complete
    /// record on (only the closing records, which the reader takes in without yielding, can
    /// sit between it and the cut). `error` is the crate's reason, for a stop that is no cut.
    fn why_stopped(&mut self, error: &str) -> String {
        if self.last_opcode == op::FOOTER {
            return "the closing magic bytes are missing".into();
        }
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
            if let Err(e) =
                self.file.seek(SeekFrom::Start(at)).and_then(|_| self.file.read_exact(&mut head))
            {
                self.read_error = true;
                return format!("cannot read from byte {at}: {}", os_words(&e));
            }
            let length = u64::from_le_bytes(head[1..].try_into().unwrap());
            if length > left - RECORD_HEAD {
                return format!(
                    "the file ends inside a record that starts at byte {at} and announces {length} bytes"
                );
            }
            if at >= self.fed {
                // Whole in the file, yet never reached: the crate refused what came before.
                return format!("a record at byte {} cannot be read: {error}", self.good_bytes);
            }
            at += RECORD_HEAD + length;
            if head[0] == op::FOOTER {
                self.good_bytes = at;
                return "the closing magic bytes are missing".into();
            }
        }
    }
}

fn read_full(file: &mut File, buf: &mut [u8]) -> std::io::Result<usize> {
    let mut n = 0;
    while n < buf.len() {
        match file.read(&mut buf[n..]) {
            Ok(0) => break,
            Ok(k) => n += k,
            Err(e) if e.kind() == std::io::ErrorKind::Interrupted => {}
            Err(e) => return Err(e),
        }
    }
    Ok(n)
}

enum Visit {
    Damaged(String),
    Stopped,
}

fn stop_if(code: i32) -> Result<(), Visit> {
    if code != 0 {
        Err(Visit::Stopped)
    } else {
        Ok(())
    }
}

fn damaged(e: impl std::fmt::Display) -> Visit {
    Visit::Damaged(e.to_string())
}

fn visit(
    opcode: u8,
    data: &[u8],
    v: &KqmVisitor,
    chunks: &mut Chunks,
    pending: &mut Vec<Pending>,
) -> Result<(), Visit> {
    match opcode {
        op::HEADER | op::METADATA => {}
        op::CHUNK => return chunk(chunks, data, v, pending),
        op::CHANNEL | op::MESSAGE => return inner(opcode, data, v, pending),
        // Nothing else is used: the summary, indexes and attachments are not parsed at all.
        _ => return Ok(()),
    }
    check_fields(opcode, data).map_err(Visit::Damaged)?;
    match mcap::parse_record(opcode, data).map_err(damaged)? {
        Record::Header(h) => {
            stop_if((v.header)(v.context, KqmStr::of(&h.profile), KqmStr::of(&h.library)))
        }
        Record::Metadata(m) => {
            let (keys, values) = kv(&m.metadata);
            stop_if((v.metadata)(
                v.context,
                KqmStr::of(&m.name),
                keys.len(),
                keys.as_ptr(),
                values.as_ptr(),
            ))
        }
        _ => Ok(()),
    }
}

/// A channel or message, in a chunk or not.
fn inner(opcode: u8, data: &[u8], v: &KqmVisitor, pending: &mut Vec<Pending>) -> Result<(), Visit> {
    check_fields(opcode, data).map_err(Visit::Damaged)?;
    match mcap::parse_record(opcode, data).map_err(damaged)? {
        Record::Channel(c) => channel(v, &c),
        Record::Message { header, data } => {
            pending.push(message(header, data));
            Ok(())
        }
        _ => Ok(()),
    }
}

/// What reading chunks keeps from one chunk to the next: the decompressed records' memory
/// and the zstd context, so that a chunk costs no fresh allocation.
#[derive(Default)]
pub struct Chunks {
    records: Vec<u8>,
    zstd: Option<zstd::bulk::Decompressor<'static>>,
}

impl Chunks {
    /// A chunk's records, decompressed (into memory of at most the chunk's announced size,
    /// itself at most RECORD_LIMIT) and checked against the chunk's CRC where it has one,
    /// before any record is parsed.
    fn records<'a>(&'a mut self, data: &'a [u8]) -> Result<&'a [u8], String> {
        let mut f = Fields { data, at: 0 };
        f.skip(16).map_err(|e| format!("a chunk with {e}"))?;
        let uncompressed = f.u64().map_err(|e| format!("a chunk with {e}"))?;
        let crc = f.u32().map_err(|e| format!("a chunk with {e}"))?;
        let name = f.text().map_err(|e| format!("a chunk with {e}"))?;
        let compressed = f.u64().map_err(|e| format!("a chunk with {e}"))?;
        if uncompressed > RECORD_LIMIT as u64 {
            return Err(format!(
                "a chunk that announces {uncompressed} uncompressed bytes, more than the {} MiB a chunk may hold",
                RECORD_LIMIT >> 20
            ));
        }
        let left = (data.len() - f.at) as u64;
        if compressed > left {
            return Err(format!(
                "a chunk that announces {compressed} compressed bytes where it holds {left}"
            ));
        }
        let (size, packed) = (uncompressed as usize, &data[f.at..f.at + compressed as usize]);
        let out: &[u8] = match name {
            b"" => packed,
            b"zstd" => {
                self.records.clear();
                self.records.reserve(size);
                let zstd = match &mut self.zstd {
                    Some(z) => z,
                    none => {
                        none.insert(zstd::bulk::Decompressor::new().map_err(|e| e.to_string())?)
                    }
                };
                zstd.decompress_to_buffer(packed, &mut self.records)
                    .map_err(|e| format!("a zstd chunk that does not decompress ({e})"))?;
                &self.records
            }
            b"lz4" => {
                self.records.clear();
                self.records.reserve(size);
                let decoder = lz4::Decoder::new(packed)
                    .map_err(|e| format!("an lz4 chunk that does not decompress ({e})"))?;
                // One byte more than announced tells a chunk that holds more.
                decoder
                    .take(uncompressed + 1)
                    .read_to_end(&mut self.records)
                    .map_err(|e| format!("an lz4 chunk that does not decompress ({e})"))?;
                &self.records
            }
            other => {
                return Err(format!(
                    "a chunk of unknown compression '{}'",
                    String::from_utf8_lossy(other)
                ));
            }
        };
        if out.len() != size {
            return Err(format!(
                "a chunk that announces {size} uncompressed bytes and holds {}",
                out.len()
            ));
        }
        if crc != 0 {
            let got = crc32fast::hash(out);
            if got != crc {
                return Err(format!(
                    "a chunk whose records fail its CRC (expected {crc:08X}, got {got:08X})"
                ));
            }
        }
        Ok(out)
    }
}

/// A chunk's channels and messages; no record may run past the chunk's records.
fn chunk(
    chunks: &mut Chunks,
    data: &[u8],
    v: &KqmVisitor,
    pending: &mut Vec<Pending>,
) -> Result<(), Visit> {
    let mut rest = chunks.records(data).map_err(Visit::Damaged)?;
    while !rest.is_empty() {
        if rest.len() < RECORD_HEAD as usize {
            return Err(Visit::Damaged(format!(
                "a chunk that ends inside a record header, {} bytes",
                rest.len()
            )));
        }
        let opcode = rest[0];
        let length = u64::from_le_bytes(rest[1..9].try_into().unwrap());
        let left = (rest.len() - RECORD_HEAD as usize) as u64;
        if length > left {
            return Err(Visit::Damaged(format!(
                "a record in a chunk that announces {length} bytes where the chunk has {left} left"
            )));
        }
        let (record, after) = rest[9..].split_at(length as usize);
        if opcode == op::CHANNEL || opcode == op::MESSAGE {
            inner(opcode, record, v, pending)?;
        }
        rest = after;
    }
    Ok(())
}

/// Checks that every length-prefixed field of a record the crate will parse fits in the
/// record, so that no length read from the file reserves memory the record does not hold.
fn check_fields(opcode: u8, data: &[u8]) -> Result<(), String> {
    let mut w = Fields { data, at: 0 };
    let (name, walked) = match opcode {
        op::HEADER => ("header", w.string().and_then(|_| w.string())),
        op::METADATA => ("metadata", w.string().and_then(|_| w.map())),
        op::CHANNEL => (
            "channel",
            w.skip(4).and_then(|_| w.string()).and_then(|_| w.string()).and_then(|_| w.map()),
        ),
        op::MESSAGE => ("message", w.skip(2 + 4 + 8 + 8)),
        op::CHUNK_INDEX => (
            "chunk index",
            w.skip(32)
                .and_then(|_| w.length())
                .and_then(|n| w.skip(n))
                .and_then(|_| w.skip(8))
                .and_then(|_| w.string())
                .and_then(|_| w.skip(16)),
        ),
        op::METADATA_INDEX => ("metadata index", w.skip(16).and_then(|_| w.string())),
        _ => return Ok(()),
    };
    walked.map_err(|e| format!("a {name} record with {e}"))
}

/// A walk over a record's fields, each length checked against what is left of the record.
struct Fields<'a> {
    data: &'a [u8],
    at: usize,
}

impl<'a> Fields<'a> {
    fn skip(&mut self, n: usize) -> Result<(), String> {
        if n > self.data.len() - self.at {
            return Err(format!(
                "a field of {n} bytes at byte {} of its {}",
                self.at,
                self.data.len()
            ));
        }
        self.at += n;
        Ok(())
    }
    fn length(&mut self) -> Result<usize, String> {
        self.u32().map(|n| n as usize)
    }
    fn string(&mut self) -> Result<(), String> {
        self.text().map(|_| ())
    }
    fn text(&mut self) -> Result<&'a [u8], String> {
        let n = self.length()?;
        let at = self.at;
        self.skip(n)?;
        Ok(&self.data[at..at + n])
    }
    fn u32(&mut self) -> Result<u32, String> {
        let at = self.at;
        self.skip(4)?;
        Ok(u32::from_le_bytes(self.data[at..at + 4].try_into().unwrap()))
    }
    fn u64(&mut self) -> Result<u64, String> {
        let at = self.at;
        self.skip(8)?;
        Ok(u64::from_le_bytes(self.data[at..at + 8].try_into().unwrap()))
    }
    fn map(&mut self) -> Result<(), String> {
        let n = self.length()?;
        let start = self.at;
        self.skip(n)?;
        self.at = start;
        while self.at < start + n {
            self.string()?;
            self.string()?;
        }
        if self.at != start + n {
            return Err(format!("a map whose entries run past its {n} bytes"));
        }
        Ok(())
    }
}

type Pending = (u16, u32, u64, u64, Vec<u8>);

fn message(header: mcap::records::MessageHeader, data: std::borrow::Cow<'_, [u8]>) -> Pending {
    (header.channel_id, header.sequence, header.log_time, header.publish_time, data.into_owned())
}

fn channel(v: &KqmVisitor, c: &mcap::records::Channel) -> Result<(), Visit> {
    let (keys, values) = kv(&c.metadata);
    stop_if((v.channel)(
        v.context,
        c.id,
        KqmStr::of(&c.topic),
        KqmStr::of(&c.message_encoding),
        keys.len(),
        keys.as_ptr(),
        values.as_ptr(),
    ))
}

/// The reader's failure for kqm_last_error: a panic inside it, named with the file and the
/// byte where reading stood.
fn panicked(path: &str, at: u64, what: &str) -> i32 {
    crate::failed(format!("{path}: the MCAP reader failed at byte {at} ({what})"));
    -1
}

/// Opens `path` (UTF-8, `len` bytes) and checks its magic bytes. On failure returns null and
/// leaves the reason for kqm_last_error.
#[no_mangle]
pub unsafe extern "C" fn kqm_reader_open(path: *const c_char, len: usize) -> *mut KqmReader {
    let path = match std::str::from_utf8(std::slice::from_raw_parts(path as *const u8, len)) {
        Ok(p) => p,
        Err(e) => {
            crate::failed(format!("path is not UTF-8: {e}"));
            return std::ptr::null_mut();
        }
    };
    match catch_unwind(|| KqmReader::open(path)) {
        Ok(Ok(r)) => Box::into_raw(Box::new(r)),
        Ok(Err(reason)) => {
            crate::failed(reason);
            std::ptr::null_mut()
        }
        Err(_) => {
            panicked(path, 0, "a panic while opening");
            std::ptr::null_mut()
        }
    }
}

/// Hands records to `visitor` until at least `min_messages` messages went out (and at least
/// one record) or the file ended. 1 while records remain, 0 at the end, -1 on a panic (the
/// reason for kqm_last_error names the file and the byte), -2 when a callback stopped it. The
/// reader is done after either failure.
#[no_mangle]
pub unsafe extern "C" fn kqm_reader_read(
    reader: *mut KqmReader,
    min_messages: usize,
    visitor: *const KqmVisitor,
) -> i32 {
    let (reader, visitor) = (&mut *reader, &*visitor);
    match catch_unwind(AssertUnwindSafe(|| reader.read(min_messages, visitor))) {
        Ok(Ok(more)) => more as i32,
        Ok(Err(Stopped)) => -2,
        Err(_) => {
            reader.done = true;
            reader.pending.clear();
            panicked(&reader.path, reader.good_bytes, "a panic")
        }
    }
}

/// From now on only the chunks whose messages' log times overlap [lo, hi] (ns), found
/// through the file's chunk index, with the header, the summary's channels and every
/// metadata record, in file order. 1 when so; 0 when the file has no usable index (none, cut
/// short, its CRC wrong) or reading has begun: the reader then reads every record front to
/// back as before. -1 on a panic.
#[no_mangle]
pub unsafe extern "C" fn kqm_reader_window(reader: *mut KqmReader, lo: u64, hi: u64) -> i32 {
    let reader = &mut *reader;
    match catch_unwind(AssertUnwindSafe(|| reader.window(lo, hi))) {
        Ok(indexed) => indexed as i32,
        Err(_) => panicked(&reader.path, 0, "a panic while reading the index"),
    }
}

/// How the file ended; the texts live as long as the reader.
#[no_mangle]
pub unsafe extern "C" fn kqm_reader_end(reader: *const KqmReader, end: *mut KqmEnd) {
    let r = &*reader;
    *end = KqmEnd {
        complete: r.complete,
        read_error: r.read_error,
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
        let reader = Box::from_raw(reader);
        let _ = catch_unwind(AssertUnwindSafe(move || drop(reader)));
    }
}

/// One channel of a summary: id, topic, message encoding, metadata keys and values, and the
/// number of messages the summary's statistics count for it.
pub type KqmSummaryChannel = extern "C" fn(
    *mut c_void,
    u16,
    KqmStr,
    KqmStr,
    usize,
    *const KqmStr,
    *const KqmStr,
    u64,
) -> i32;

/// Footer record (opcode, length, summary start, summary offset start, CRC) and end magic.
const FOOTER_AND_MAGIC: u64 = 9 + 20 + 8;

/// What the reading uses of a file's summary.
struct Summary {
    /// The channels with the number of messages the statistics count.
    channels: Vec<(mcap::records::Channel, u64)>,
    /// Each chunk's first and last log time, its byte and its length (record included).
    chunks: Vec<(u64, u64, u64, u64)>,
    /// Each metadata record's byte and length.
    metadata: Vec<(u64, u64)>,
}

/// The file's summary, read from the end of the file without reading its data. None when
/// the file has no usable summary: none at all, cut short, a summary whose CRC does not
/// match, or records that do not parse.
fn summary(path: &str) -> Option<Summary> {
    let mut file = File::open(path).ok()?;
    let size = file.metadata().ok()?.len();
    if size < 8 + FOOTER_AND_MAGIC {
        return None;
    }
    let footer_at = size - FOOTER_AND_MAGIC;
    let mut tail = [0u8; FOOTER_AND_MAGIC as usize];
    file.seek(SeekFrom::Start(footer_at)).ok()?;
    file.read_exact(&mut tail).ok()?;
    let word = |at: usize| u64::from_le_bytes(tail[at..at + 8].try_into().unwrap());
    if tail[0] != op::FOOTER || word(1) != 20 || tail[29..] != *mcap::MAGIC {
        return None;
    }
    let (start, crc) = (word(9), u32::from_le_bytes(tail[25..29].try_into().unwrap()));
    if start < 8 || start >= footer_at {
        return None;
    }
    let mut section = vec![0u8; (footer_at - start) as usize];
    file.seek(SeekFrom::Start(start)).ok()?;
    file.read_exact(&mut section).ok()?;
    if crc != 0 {
        let mut hasher = crc32fast::Hasher::new();
        hasher.update(&section);
        hasher.update(&tail[..25]);
        if hasher.finalize() != crc {
            return None;
        }
    }
    let (mut channels, mut chunks, mut metadata) = (Vec::new(), Vec::new(), Vec::new());
    let mut stats = None;
    let mut rest: &[u8] = &section;
    while !rest.is_empty() {
        if rest.len() < RECORD_HEAD as usize {
            return None;
        }
        let opcode = rest[0];
        let length = u64::from_le_bytes(rest[1..9].try_into().unwrap());
        if length > (rest.len() - RECORD_HEAD as usize) as u64 {
            return None;
        }
        let data = &rest[9..9 + length as usize];
        rest = &rest[9 + length as usize..];
        match opcode {
            op::CHANNEL => {
                check_fields(opcode, data).ok()?;
                if let Record::Channel(c) = mcap::parse_record(opcode, data).ok()? {
                    channels.push(c);
                }
            }
            // Fixed fields and maps read entry by entry: nothing in them reserves memory.
            op::STATISTICS => {
                if let Record::Statistics(s) = mcap::parse_record(opcode, data).ok()? {
                    stats = Some(s);
                }
            }
            op::CHUNK_INDEX => {
                check_fields(opcode, data).ok()?;
                if let Record::ChunkIndex(c) = mcap::parse_record(opcode, data).ok()? {
                    chunks.push((
                        c.message_start_time,
                        c.message_end_time,
                        c.chunk_start_offset,
                        c.chunk_length,
                    ));
                }
            }
            op::METADATA_INDEX => {
                check_fields(opcode, data).ok()?;
                if let Record::MetadataIndex(m) = mcap::parse_record(opcode, data).ok()? {
                    metadata.push((m.offset, m.length));
                }
            }
            _ => {}
        }
    }
    let counts = stats?.channel_message_counts;
    let channels = channels
        .into_iter()
        .map(|c| {
            let n = counts.get(&c.id).copied().unwrap_or(0);
            (c, n)
        })
        .collect();
    Some(Summary { channels, chunks, metadata })
}

/// Hands each channel of the file's summary to `entry` with its message count. 1 when the
/// file has a usable summary, 0 when it has none (see summary), -1 on a panic or
/// when `entry` stopped.
#[no_mangle]
pub unsafe extern "C" fn kqm_summary_channels(
    path: *const c_char,
    len: usize,
    context: *mut c_void,
    entry: KqmSummaryChannel,
) -> i32 {
    let Ok(path) = std::str::from_utf8(std::slice::from_raw_parts(path as *const u8, len)) else {
        return 0;
    };
    let found = match catch_unwind(|| summary(path)) {
        Ok(found) => found,
        Err(_) => return panicked(path, 0, "a panic while reading the summary"),
    };
    let Some(Summary { channels, .. }) = found else { return 0 };
    for (c, count) in &channels {
        let (keys, values) = kv(&c.metadata);
        let code = entry(
            context,
            c.id,
            KqmStr::of(&c.topic),
            KqmStr::of(&c.message_encoding),
            keys.len(),
            keys.as_ptr(),
            values.as_ptr(),
            *count,
        );
        if code != 0 {
            return -1;
        }
    }
    1
}

/// Metadata values that hold a flat JSON object (a recording's tables, for one): each
/// entry goes to `entry` as its key and its value's JSON text (strings unquoted, with
/// `is_text`). 0, or -1 when the text is not a JSON object (the reason for kqm_last_error:
/// "not JSON (...)" or "JSON, but an array" and so on), -2 when `entry` stopped it.
#[no_mangle]
pub unsafe extern "C" fn kqm_json_object(
    text: *const c_char,
    len: usize,
    context: *mut c_void,
    entry: extern "C" fn(*mut c_void, KqmStr, KqmStr, bool) -> i32,
) -> i32 {
    let bytes = std::slice::from_raw_parts(text as *const u8, len);
    let parsed = catch_unwind(|| serde_json::from_slice::<serde_json::Value>(bytes));
    let object: serde_json::Map<String, serde_json::Value> = match parsed {
        Ok(Ok(serde_json::Value::Object(o))) => o,
        Ok(Ok(other)) => {
            let kind = match other {
                serde_json::Value::Array(_) => "an array",
                serde_json::Value::String(_) => "a string",
                serde_json::Value::Number(_) => "a number",
                serde_json::Value::Bool(_) => "a boolean",
                _ => "null",
            };
            crate::failed(format!("JSON, but {kind}"));
            return -1;
        }
        Ok(Err(e)) => {
            crate::failed(format!("not JSON ({e})"));
            return -1;
        }
        Err(_) => {
            crate::failed("not JSON (the parser failed)");
            return -1;
        }
    };
    for (key, value) in &object {
        let code = match value {
            serde_json::Value::String(s) => entry(context, KqmStr::of(key), KqmStr::of(s), true),
            other => {
                let shown = other.to_string();
                entry(context, KqmStr::of(key), KqmStr::of(&shown), false)
            }
        };
        if code != 0 {
            return -2;
        }
    }
    0
}
