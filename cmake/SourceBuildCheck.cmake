# pip install from the source archive happens where no wheel matches the machine (another
# architecture, an older glibc or another Python). Building then needs tools a user of a
# wheel never sees; CMake would stop at the first one missing with a message of its own
# (or cargo deep inside the build), so all of them are looked for up front and named in one
# message. Runs before project(): a missing compiler would otherwise end it there.
set(_kq_missing)
set(_kq_cxx $ENV{CXX})
if(NOT _kq_cxx)
  set(_kq_cxx c++ g++ clang++)
endif()
find_program(_kq_cxx_found NAMES ${_kq_cxx} NO_CACHE)
if(NOT _kq_cxx_found)
  list(APPEND _kq_missing "a C++20 compiler (g++ or clang++; Debian/Ubuntu: build-essential)")
endif()
find_program(_kq_cargo_found NAMES cargo HINTS $ENV{HOME}/.cargo/bin NO_CACHE)
if(NOT _kq_cargo_found)
  list(APPEND _kq_missing "cargo (Rust, https://rustup.rs)")
endif()
foreach(_kq_pair "spdlog/spdlog.h;spdlog headers (libspdlog-dev)" "fmt/format.h;fmt headers (libfmt-dev)"
                 "eigen3/Eigen/Core;Eigen headers (libeigen3-dev)")
  list(GET _kq_pair 0 _kq_header)
  list(GET _kq_pair 1 _kq_what)
  find_file(_kq_header_found ${_kq_header} PATHS /usr/include /usr/local/include $ENV{CPATH}
            NO_CACHE NO_DEFAULT_PATH)
  if(NOT _kq_header_found)
    list(APPEND _kq_missing "${_kq_what}")
  endif()
  unset(_kq_header_found)
endforeach()
if(_kq_missing)
  list(JOIN _kq_missing "; " _kq_missing)
  message(FATAL_ERROR "korvelquor: no prebuilt wheel matches this machine, and building it from "
                      "source needs what is missing here: ${_kq_missing}. Wheels exist for "
                      "CPython 3.9-3.13 on x86_64 and aarch64 Linux with glibc 2.28 or newer.")
endif()
