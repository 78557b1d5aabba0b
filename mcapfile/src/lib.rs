//! MCAP files behind a narrow C ABI over the `mcap` crate: reading with every length bounded
//! by the file (read.rs), writing so that a file always ends on a whole record (write.rs).
//! The layer knows files, records and channels, not what a recording of this project holds:
//! record names, topics and layouts are the caller's.

use std::os::raw::c_char;

mod read;
mod write;

thread_local! {
    /// The reason for the latest failure on this thread (kqm_last_error).
    static LAST_ERROR: std::cell::RefCell<String> = const { std::cell::RefCell::new(String::new()) };
}

fn failed(reason: impl std::fmt::Display) {
    LAST_ERROR.with(|e| *e.borrow_mut() = reason.to_string());
}

/// Copies the reason for the latest failure on the calling thread into `buffer` (cut to
/// `size` - 1 bytes, zero-terminated) and returns its full length.
#[no_mangle]
pub unsafe extern "C" fn kqm_last_error(buffer: *mut c_char, size: usize) -> usize {
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
