# cmake --install: the shared library, the public headers under include/korvelquor/, a CMake
# package (find_package(korvelquor CONFIG), target korvelquor::korvelquor) with its version
# file, and a pkg-config file. The transport and the Rust runtime stay inside the library.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KQ_PUBLIC_HEADERS
  korvelquor.hpp
  client/client.hpp client/joint_group.hpp client/records.hpp client/stream.hpp
  client/version.hpp
  capture/capture.hpp capture/columns.hpp capture/stream_status.hpp
  recording/recording_reader.hpp recording/recorder.hpp
  zenoh/exception.hpp zenoh/result_codes.h)
foreach(header IN LISTS KQ_PUBLIC_HEADERS)
  get_filename_component(dir ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${header}
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korvelquor/${dir} COMPONENT Development)
endforeach()

install(TARGETS korvelquor EXPORT korvelquorTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime
                NAMELINK_COMPONENT Development)
set(_kq_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/korvelquor)
install(EXPORT korvelquorTargets NAMESPACE korvelquor:: DESTINATION ${_kq_cmake_dir}
        COMPONENT Development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/korvelquorConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/korvelquorConfig.cmake
                              INSTALL_DESTINATION ${_kq_cmake_dir})
# 0.x: a new minor version may change the API.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/korvelquorConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/korvelquorConfig.cmake
              ${PROJECT_BINARY_DIR}/korvelquorConfigVersion.cmake
        DESTINATION ${_kq_cmake_dir} COMPONENT Development)
file(RELATIVE_PATH KQ_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/korvelquor.pc.in ${PROJECT_BINARY_DIR}/korvelquor.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/korvelquor.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
