# Builds the Rust transport crate (zenoh/) with cargo and exposes it as the imported
# static library `kq_zenoh_rust`. CARGO_TARGET_DIR from the environment is honoured so
# that the minutes-long zenoh build can be reused between build trees; without it the
# crate builds inside this build tree.
find_program(CARGO_EXECUTABLE cargo HINTS $ENV{HOME}/.cargo/bin REQUIRED)

# The choice is cached at the first configure, so a later re-configure from a shell without
# the variable does not silently switch to a new target dir and rebuild zenoh from scratch.
if(DEFINED ENV{CARGO_TARGET_DIR} AND NOT "$ENV{CARGO_TARGET_DIR}" STREQUAL "")
  set(_kq_cargo_default $ENV{CARGO_TARGET_DIR})
else()
  set(_kq_cargo_default ${CMAKE_BINARY_DIR}/cargo)
endif()
set(KQ_CARGO_TARGET_DIR ${_kq_cargo_default} CACHE PATH "cargo target directory of the transport crate")

set(KQ_RUST_LIB ${KQ_CARGO_TARGET_DIR}/release/libkorvel_zenoh_transport.a)
set(KQ_RUST_DIR ${PROJECT_SOURCE_DIR}/zenoh)

# A static library of the crate built beforehand (scripts/wheels builds it once per
# architecture with cargo-zigbuild and links it into every Python's wheel): no cargo here.
set(KQ_RUST_PREBUILT "" CACHE FILEPATH "prebuilt libkorvel_zenoh_transport.a (no cargo build)")
if(KQ_RUST_PREBUILT)
  if(NOT EXISTS ${KQ_RUST_PREBUILT})
    message(FATAL_ERROR "KQ_RUST_PREBUILT: no such file ${KQ_RUST_PREBUILT}")
  endif()
  add_library(kq_zenoh_rust STATIC IMPORTED GLOBAL)
  set_target_properties(kq_zenoh_rust PROPERTIES IMPORTED_LOCATION ${KQ_RUST_PREBUILT})
  return()
endif()

add_custom_target(kq_zenoh_rust_build
  COMMAND ${CMAKE_COMMAND} -E env CARGO_TARGET_DIR=${KQ_CARGO_TARGET_DIR}
          ${CARGO_EXECUTABLE} build --release --locked --manifest-path ${KQ_RUST_DIR}/Cargo.toml
  BYPRODUCTS ${KQ_RUST_LIB}
  WORKING_DIRECTORY ${KQ_RUST_DIR}
  COMMENT "cargo build (zenoh transport crate)"
  USES_TERMINAL)

add_library(kq_zenoh_rust STATIC IMPORTED GLOBAL)
set_target_properties(kq_zenoh_rust PROPERTIES IMPORTED_LOCATION ${KQ_RUST_LIB})
add_dependencies(kq_zenoh_rust kq_zenoh_rust_build)
