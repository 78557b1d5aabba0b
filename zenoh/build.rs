//! Reads the result codes from zenoh/result_codes.h, where they are declared once for the C
//! ABI, the C++ headers and this crate.

use std::{env, fs, path::PathBuf};

fn main() {
    let header = PathBuf::from(env::var("CARGO_MANIFEST_DIR").unwrap()).join("result_codes.h");
    println!("cargo:rerun-if-changed={}", header.display());
    let text = fs::read_to_string(&header).expect("zenoh/result_codes.h");
    let mut out = String::from("// Generated from result_codes.h by build.rs.\n");
    for line in text.lines() {
        let mut words = line.split_whitespace();
        if words.next() != Some("#define") {
            continue;
        }
        let (Some(name), Some(value)) = (words.next(), words.next()) else {
            continue;
        };
        let value: i8 = value.parse().expect("a result code fits i8");
        out.push_str(&format!("pub const {}: i8 = {};\n", name.trim_start_matches('K'), value));
    }
    let target = PathBuf::from(env::var("OUT_DIR").unwrap()).join("result_codes.rs");
    fs::write(target, out).unwrap();
}
