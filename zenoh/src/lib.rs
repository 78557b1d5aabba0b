//! The korvelquor transport layer: a narrow C ABI over the `zenoh` crate.
//!
//! Every handle is opaque, every failure is a zenoh result code, and every callback hands
//! C++ one contiguous byte view. The drop callback of a subscription or a query runs once,
//! when zenoh releases the callback object: that is the moment zenoh has finished with it.
//! No client logic lives here.

use std::borrow::Cow;
use std::ffi::c_void;
use std::os::raw::c_char;
use std::panic::{catch_unwind, AssertUnwindSafe};
use std::time::Duration;

use zenoh::bytes::Encoding;
use zenoh::key_expr::KeyExpr;
use zenoh::query::ConsolidationMode;
use zenoh::sample::Sample;
use zenoh::Wait;

// Z_OK, Z_EINVAL, ... from result_codes.h, where they are declared once.
include!(concat!(env!("OUT_DIR"), "/result_codes.rs"));

/// The longest key expression handed to zenoh. A declaration must fit into one of zenoh's
/// batches (64 KiB); a far longer key makes zenoh's transmission pipeline panic on its own
/// threads, after which the session delivers nothing. No robot's key comes near this.
pub const MAX_KEY_EXPR_LEN: usize = 1024;

thread_local! {
    /// zenoh's own words for the latest failure on this thread (kz_last_error).
    static LAST_ERROR: std::cell::RefCell<String> = const { std::cell::RefCell::new(String::new()) };
}

fn failed(code: i8, reason: impl std::fmt::Display) -> i8 {
    LAST_ERROR.with(|e| *e.borrow_mut() = reason.to_string());
    code
}

pub type SampleCallback = extern "C" fn(context: *mut c_void, data: *const u8, len: usize);
pub type ReplyCallback =
    extern "C" fn(context: *mut c_void, is_ok: bool, data: *const u8, len: usize);
pub type DropCallback = extern "C" fn(context: *mut c_void);

pub struct KzConfig(zenoh::Config);
pub struct KzSession(zenoh::Session);
pub struct KzSubscriber(Option<zenoh::pubsub::Subscriber<()>>);
pub struct KzQuerier(Option<zenoh::query::Querier<'static>>);

/// The C++ side's context pointer. It is handed back on zenoh's threads; the C++ side
/// makes its use thread-safe.
#[derive(Clone, Copy)]
struct Context(*mut c_void);
unsafe impl Send for Context {}
unsafe impl Sync for Context {}

/// Owned by the callback closure that zenoh keeps; dropping it is the end notification.
struct DropNotice {
    context: Context,
    on_drop: DropCallback,
}

impl Drop for DropNotice {
    fn drop(&mut self) {
        (self.on_drop)(self.context.0);
    }
}

fn guarded<F: FnOnce() -> i8>(f: F) -> i8 {
    catch_unwind(AssertUnwindSafe(f)).unwrap_or_else(|_| failed(Z_EGENERIC, "panic in zenoh"))
}

/// A zenoh object made: boxed into `*out` for the C++ side, or the reason it failed.
unsafe fn hand_out<T, E: std::fmt::Display>(out: *mut *mut T, made: Result<T, E>) -> i8 {
    match made {
        Ok(handle) => {
            *out = Box::into_raw(Box::new(handle));
            Z_OK
        }
        Err(e) => failed(Z_ENETWORK, e),
    }
}

/// Takes back a handle from the C++ side (null: nothing) and ends it; a panic stays here.
unsafe fn take_back<T>(handle: *mut T, end: impl FnOnce(Box<T>)) {
    if !handle.is_null() {
        let handle = Box::from_raw(handle);
        let _ = catch_unwind(AssertUnwindSafe(move || end(handle)));
    }
}

/// A key expression's text: UTF-8 and no longer than zenoh can carry.
unsafe fn str_arg<'a>(data: *const c_char, len: usize) -> Result<&'a str, String> {
    if data.is_null() {
        return Err("no key expression".into());
    }
    if len > MAX_KEY_EXPR_LEN {
        return Err(format!("key expression of {len} bytes, longer than {MAX_KEY_EXPR_LEN}"));
    }
    std::str::from_utf8(std::slice::from_raw_parts(data as *const u8, len))
        .map_err(|e| format!("key expression is not UTF-8: {e}"))
}

unsafe fn key_expr_arg(data: *const c_char, len: usize) -> Result<KeyExpr<'static>, i8> {
    let text = str_arg(data, len).map_err(|reason| failed(Z_EINVAL, reason))?;
    KeyExpr::try_from(text.to_owned()).map_err(|e| failed(Z_EINVAL, e))
}

/// The session and key expression of a declaration or query, or the code it fails with.
unsafe fn session_key<'a>(
    session: *const KzSession,
    key_expr: *const c_char,
    key_expr_len: usize,
) -> Result<(&'a zenoh::Session, KeyExpr<'static>), i8> {
    if session.is_null() {
        return Err(Z_ENULL);
    }
    Ok((&(*session).0, key_expr_arg(key_expr, key_expr_len)?))
}

/// The same for a declaration, whose handle goes to `out`.
unsafe fn declaration<'a, T>(
    session: *const KzSession,
    key_expr: *const c_char,
    key_expr_len: usize,
    out: *mut *mut T,
) -> Result<(&'a zenoh::Session, KeyExpr<'static>), i8> {
    if out.is_null() {
        return Err(Z_ENULL);
    }
    session_key(session, key_expr, key_expr_len)
}

/// Copies zenoh's reason for the latest failure on the calling thread into `buffer` (cut to
/// `size` - 1 bytes, zero-terminated) and returns its full length.
#[no_mangle]
pub unsafe extern "C" fn kz_last_error(buffer: *mut c_char, size: usize) -> usize {
    LAST_ERROR.with(|e| {
        let text = e.borrow();
        if !buffer.is_null() && size > 0 {
            let n = text.len().min(size - 1);
            std::ptr::copy_nonoverlapping(text.as_ptr(), buffer as *mut u8, n);
            *buffer.add(n) = 0;
        }
        text.len()
    })
}

unsafe fn bytes_arg<'a>(data: *const u8, len: usize) -> &'a [u8] {
    if data.is_null() || len == 0 {
        &[]
    } else {
        std::slice::from_raw_parts(data, len)
    }
}

fn with_view(bytes: &zenoh::bytes::ZBytes, f: impl FnOnce(*const u8, usize)) {
    let view: Cow<'_, [u8]> = bytes.to_bytes();
    f(view.as_ptr(), view.len());
}

/// Creates zenoh's default configuration; nothing is read from files or the environment.
#[no_mangle]
pub extern "C" fn kz_config_default(out: *mut *mut KzConfig) -> i8 {
    if out.is_null() {
        return Z_ENULL;
    }
    guarded(|| {
        let config = Box::new(KzConfig(zenoh::Config::default()));
        unsafe { *out = Box::into_raw(config) };
        Z_OK
    })
}

#[no_mangle]
pub unsafe extern "C" fn kz_config_drop(config: *mut KzConfig) {
    take_back(config, drop);
}

/// Opens a session; the configuration is consumed whatever the outcome.
#[no_mangle]
pub unsafe extern "C" fn kz_session_open(config: *mut KzConfig, out: *mut *mut KzSession) -> i8 {
    if config.is_null() || out.is_null() {
        if !config.is_null() {
            drop(Box::from_raw(config));
        }
        return Z_ENULL;
    }
    let config = Box::from_raw(config);
    guarded(move || hand_out(out, zenoh::open(config.0).wait().map(KzSession)))
}

/// Closes the session: waits for zenoh's close (at most its own timeout). The handle stays
/// valid until kz_session_free, so that whoever closes decides when its memory goes.
#[no_mangle]
pub unsafe extern "C" fn kz_session_close(session: *mut KzSession) {
    if session.is_null() {
        return;
    }
    let session = &*session;
    let _ = catch_unwind(AssertUnwindSafe(|| {
        let _ = session.0.close().wait();
    }));
}

/// Frees a session handle (closed or not).
#[no_mangle]
pub unsafe extern "C" fn kz_session_free(session: *mut KzSession) {
    take_back(session, drop);
}

/// Canonizes a key expression in place (canonization never lengthens it) and checks it.
/// On success `*len` is the new length.
#[no_mangle]
pub unsafe extern "C" fn kz_keyexpr_autocanonize(data: *mut c_char, len: *mut usize) -> i8 {
    if data.is_null() || len.is_null() {
        return Z_ENULL;
    }
    let text = match str_arg(data, *len) {
        Ok(text) => text,
        Err(reason) => return failed(Z_EINVAL, reason),
    };
    let owned = text.to_owned();
    guarded(move || match KeyExpr::autocanonize(owned) {
        Ok(ke) => {
            let canonical = ke.as_str().as_bytes();
            if canonical.len() > *len {
                return failed(Z_EGENERIC, "canonization lengthened the key expression");
            }
            std::ptr::copy_nonoverlapping(canonical.as_ptr(), data as *mut u8, canonical.len());
            *len = canonical.len();
            Z_OK
        }
        Err(e) => failed(Z_EINVAL, e),
    })
}

/// Declares a subscriber. `on_sample` runs on zenoh's threads, possibly on several at once;
/// `on_drop` runs once, after the last `on_sample`, when zenoh releases the callback.
/// On failure `on_drop` has already run when this returns.
#[no_mangle]
pub unsafe extern "C" fn kz_subscriber_declare(
    session: *const KzSession,
    key_expr: *const c_char,
    key_expr_len: usize,
    on_sample: SampleCallback,
    on_drop: DropCallback,
    context: *mut c_void,
    out: *mut *mut KzSubscriber,
) -> i8 {
    let notice = DropNotice { context: Context(context), on_drop };
    let (session, ke) = match declaration(session, key_expr, key_expr_len, out) {
        Ok(found) => found,
        Err(code) => return code,
    };
    guarded(move || {
        let callback = move |sample: Sample| {
            let notice = &notice;
            with_view(sample.payload(), |data, len| (on_sample)(notice.context.0, data, len));
        };
        let declared = session.declare_subscriber(ke).callback(callback).wait();
        hand_out(out, declared.map(|s| KzSubscriber(Some(s))))
    })
}

/// Undeclares the subscription and frees the handle.
#[no_mangle]
pub unsafe extern "C" fn kz_subscriber_undeclare(subscriber: *mut KzSubscriber) {
    take_back(subscriber, |mut s| {
        if let Some(s) = s.0.take() {
            let _ = s.undeclare().wait();
        }
    });
}

/// Issues a query with an optional payload (encoding zenoh/serialized) and a timeout.
/// Replies are not consolidated: each reply reaches `on_reply` as it arrives. `on_drop`
/// runs exactly once, when zenoh has finished with the query, also when this fails.
#[no_mangle]
pub unsafe extern "C" fn kz_get(
    session: *const KzSession,
    key_expr: *const c_char,
    key_expr_len: usize,
    payload: *const u8,
    payload_len: usize,
    timeout_ms: u64,
    on_reply: ReplyCallback,
    on_drop: DropCallback,
    context: *mut c_void,
) -> i8 {
    let notice = DropNotice { context: Context(context), on_drop };
    let (session, ke) = match session_key(session, key_expr, key_expr_len) {
        Ok(found) => found,
        Err(code) => return code,
    };
    let payload = bytes_arg(payload, payload_len).to_vec();
    guarded(move || {
        let callback = move |reply: zenoh::query::Reply| {
            let notice = &notice;
            match reply.result() {
                Ok(sample) => with_view(sample.payload(), |data, len| {
                    (on_reply)(notice.context.0, true, data, len)
                }),
                Err(error) => with_view(error.payload(), |data, len| {
                    (on_reply)(notice.context.0, false, data, len)
                }),
            }
        };
        let result = session
            .get(ke)
            .payload(payload)
            .encoding(Encoding::ZENOH_SERIALIZED)
            .timeout(Duration::from_millis(timeout_ms))
            .consolidation(ConsolidationMode::None)
            .callback(callback)
            .wait();
        match result {
            Ok(()) => Z_OK,
            Err(e) => failed(Z_ENETWORK, e),
        }
    })
}

/// Declares a querier on a key expression. It sends no query; it tells whether zenoh knows a
/// queryable that a query on the key expression would reach.
#[no_mangle]
pub unsafe extern "C" fn kz_querier_declare(
    session: *const KzSession,
    key_expr: *const c_char,
    key_expr_len: usize,
    out: *mut *mut KzQuerier,
) -> i8 {
    let (session, ke) = match declaration(session, key_expr, key_expr_len, out) {
        Ok(found) => found,
        Err(code) => return code,
    };
    guarded(move || {
        let declared = session.declare_querier(ke).wait();
        hand_out(out, declared.map(|q| KzQuerier(Some(q))))
    })
}

/// Whether a queryable matching the querier's key expression is known right now.
#[no_mangle]
pub unsafe extern "C" fn kz_querier_has_matching(querier: *const KzQuerier, out: *mut bool) -> i8 {
    if querier.is_null() || out.is_null() {
        return Z_ENULL;
    }
    let Some(q) = (*querier).0.as_ref() else {
        return Z_ENULL;
    };
    guarded(|| match q.matching_status().wait() {
        Ok(status) => {
            *out = status.matching();
            Z_OK
        }
        Err(e) => failed(Z_ENETWORK, e),
    })
}

#[no_mangle]
pub unsafe extern "C" fn kz_querier_undeclare(querier: *mut KzQuerier) {
    take_back(querier, |mut q| {
        if let Some(q) = q.0.take() {
            let _ = q.undeclare().wait();
        }
    });
}
