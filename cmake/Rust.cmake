# Builds the Rust workspace's one static library (rust/: the transport crate of zenoh/ and
# the MCAP crate of mcapfile/) with cargo and exposes it as `kq_rust`. CARGO_TARGET_DIR from
# the environment is honoured so that the minutes-long zenoh build can be reused between
# build trees; without it the crates build inside this build tree.
find_program(CARGO_EXECUTABLE cargo HINTS $ENV{HOME}/.cargo/bin REQUIRED)

# The choice is cached at the first configure, so a later re-configure from a shell without
# the variable does not silently switch to a new target dir and rebuild zenoh from scratch.
if(DEFINED ENV{CARGO_TARGET_DIR} AND NOT "$ENV{CARGO_TARGET_DIR}" STREQUAL "")
  set(_kq_cargo_default $ENV{CARGO_TARGET_DIR})
else()
  set(_kq_cargo_default ${CMAKE_BINARY_DIR}/cargo)
endif()
set(KQ_CARGO_TARGET_DIR ${_kq_cargo_default} CACHE PATH "cargo target directory of the Rust workspace")

set(KQ_RUST_LIB ${KQ_CARGO_TARGET_DIR}/release/libkorvel_rust.a)

# A static library built beforehand (scripts/wheels builds it once per architecture with
# cargo-zigbuild and links it into every Python's wheel): no cargo here.
set(KQ_RUST_PREBUILT "" CACHE FILEPATH "prebuilt libkorvel_rust.a (no cargo build)")
add_library(kq_rust_archive STATIC IMPORTED GLOBAL)
if(KQ_RUST_PREBUILT)
  if(NOT EXISTS ${KQ_RUST_PREBUILT})
    message(FATAL_ERROR "KQ_RUST_PREBUILT: no such file ${KQ_RUST_PREBUILT}")
  endif()
  set_target_properties(kq_rust_archive PROPERTIES IMPORTED_LOCATION ${KQ_RUST_PREBUILT})
else()
  add_custom_target(kq_rust_build
    COMMAND ${CMAKE_COMMAND} -E env CARGO_TARGET_DIR=${KQ_CARGO_TARGET_DIR}
            ${CARGO_EXECUTABLE} build --release --locked -p korvel-rust
            --manifest-path ${PROJECT_SOURCE_DIR}/Cargo.toml
    BYPRODUCTS ${KQ_RUST_LIB}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    COMMENT "cargo build (Rust workspace: transport and MCAP crates)"
    USES_TERMINAL)
  set_target_properties(kq_rust_archive PROPERTIES IMPORTED_LOCATION ${KQ_RUST_LIB})
  add_dependencies(kq_rust_archive kq_rust_build)
endif()

# The crates' symbols (Rust std included) stay inside whatever links this, so a process may
# also hold another zenoh or Rust build, such as eclipse-zenoh or zenoh-c. zig's linker (the
# wheels) has no --exclude-libs; there libkorvelquor's version script alone keeps them local.
add_library(kq_rust INTERFACE)
target_link_libraries(kq_rust INTERFACE kq_rust_archive Threads::Threads ${CMAKE_DL_LIBS} m)
include(CheckLinkerFlag)
check_linker_flag(CXX "-Wl,--exclude-libs,libkorvel_rust.a" KQ_HAVE_EXCLUDE_LIBS)
if(KQ_HAVE_EXCLUDE_LIBS)
  target_link_libraries(kq_rust INTERFACE "-Wl,--exclude-libs,libkorvel_rust.a")
endif()
