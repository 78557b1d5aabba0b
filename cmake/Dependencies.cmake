# Libraries from Debian's packages. spdlog is reached through kq_spdlog: Debian's shared
# spdlog by default, so that a C++ program and this library log through one default
# logger; or, with KQ_BUNDLE_SPDLOG (the wheels), spdlog and fmt compiled in header-only
# and hidden, so that the library needs nothing beyond the C and C++ runtimes.
# KQ_SPDLOG_INCLUDE_DIR names a folder holding only spdlog/ and fmt/: a build for another
# C library (the zig wheels) must not see the machine's /usr/include, where Debian's spdlog
# package puts them.
set(KQ_SPDLOG_INCLUDE_DIR "" CACHE PATH "spdlog and fmt headers for KQ_BUNDLE_SPDLOG (default: spdlog's package)")
if(NOT (KQ_BUNDLE_SPDLOG AND KQ_SPDLOG_INCLUDE_DIR))
  find_package(spdlog REQUIRED)
endif()
find_package(Eigen3 REQUIRED NO_MODULE)

add_library(kq_spdlog INTERFACE)
if(KQ_BUNDLE_SPDLOG)
  if(KQ_SPDLOG_INCLUDE_DIR)
    set(_kq_spdlog_include ${KQ_SPDLOG_INCLUDE_DIR})
  else()
    get_target_property(_kq_spdlog_include spdlog::spdlog_header_only INTERFACE_INCLUDE_DIRECTORIES)
  endif()
  target_include_directories(kq_spdlog INTERFACE ${_kq_spdlog_include})
  target_compile_definitions(kq_spdlog INTERFACE SPDLOG_FMT_EXTERNAL FMT_HEADER_ONLY=1)
  target_link_libraries(kq_spdlog INTERFACE Threads::Threads)
else()
  target_link_libraries(kq_spdlog INTERFACE spdlog::spdlog)
endif()
