# libkorvelquor: every layer and the Rust library in one shared library. C++ programs link
# it (find_package(korvelquor)), and both Python modules link the same file, so a process
# holds one copy of the client, one zenoh runtime and one shared session.
include(GNUInstallDirs)

set(KQ_LAYERS kq_recording kq_mcap kq_capture kq_client kq_stream kq_rpc kq_rpc_logic kq_stream_assembly
              kq_middleware kq_msgs kq_vocab)
# Every object of every layer goes in, whether the library itself calls it or not: the
# library is the API. (CMake's WHOLE_ARCHIVE feature refuses archives that also come in as
# ordinary dependencies of one another, so the flags are spelled out.)
set(_kq_whole "-Wl,--whole-archive")
foreach(layer IN LISTS KQ_LAYERS)
  list(APPEND _kq_whole $<TARGET_FILE:${layer}>)
endforeach()
list(APPEND _kq_whole "-Wl,--no-whole-archive")

add_library(korvelquor SHARED ${PROJECT_SOURCE_DIR}/client/version.cpp)
add_library(korvelquor::korvelquor ALIAS korvelquor)
target_compile_definitions(korvelquor PRIVATE KQ_VERSION="${PROJECT_VERSION}")
add_dependencies(korvelquor ${KQ_LAYERS})
target_link_libraries(korvelquor PRIVATE ${_kq_whole} kq_zenoh kq_spdlog)
target_include_directories(korvelquor PUBLIC
  $<BUILD_INTERFACE:${KQ_INCLUDE_ROOT}>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/korvelquor>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_features(korvelquor PUBLIC cxx_std_20)
set(_kq_map ${CMAKE_CURRENT_LIST_DIR}/korvelquor.map)
target_link_options(korvelquor PRIVATE "-Wl,--version-script=${_kq_map}" "-Wl,-z,defs")
set_target_properties(korvelquor PROPERTIES
  LINK_DEPENDS ${_kq_map}
  EXPORT_NAME korvelquor
  LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib)
if(NOT SKBUILD)
  # A wheel carries one plain file beside the modules (a zip holds no symlinks).
  set_target_properties(korvelquor PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
endif()
