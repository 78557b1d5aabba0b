//! The one Rust static library of korvelquor. It links the transport crate (zenoh/) and the
//! MCAP crate (mcapfile/), whose C functions are the library's whole interface, and decides
//! what every crate in it shares: the allocator.

use std::alloc::{GlobalAlloc, Layout, System};

pub use korvel_mcap;
pub use korvel_zenoh_transport;

/// Rust allocations go to the C library like the rest of the process, except large ones,
/// which get pages of their own and give them back when freed. A flood of huge samples
/// makes zenoh allocate buffers of their size; the C library would keep that memory for
/// later allocations of the same size, and the process would stay that much larger.
struct PagesForLargeBlocks;

const LARGE_BLOCK: usize = 1 << 20;

unsafe impl GlobalAlloc for PagesForLargeBlocks {
    unsafe fn alloc(&self, layout: Layout) -> *mut u8 {
        if layout.size() < LARGE_BLOCK || layout.align() > 4096 {
            return System.alloc(layout);
        }
        let p = libc::mmap(
            std::ptr::null_mut(),
            layout.size(),
            libc::PROT_READ | libc::PROT_WRITE,
            libc::MAP_PRIVATE | libc::MAP_ANONYMOUS,
            -1,
            0,
        );
        if p == libc::MAP_FAILED {
            std::ptr::null_mut()
        } else {
            p as *mut u8
        }
    }

    unsafe fn dealloc(&self, ptr: *mut u8, layout: Layout) {
        if layout.size() < LARGE_BLOCK || layout.align() > 4096 {
            System.dealloc(ptr, layout);
        } else {
            libc::munmap(ptr as *mut libc::c_void, layout.size());
        }
    }
}

#[global_allocator]
static ALLOCATOR: PagesForLargeBlocks = PagesForLargeBlocks;
