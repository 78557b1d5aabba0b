# kq_library(name [sources...]): a static library of the given sources, or an interface
# library while a layer has no sources yet. Include root and link libraries are added by
# the caller with target_* (PUBLIC works for both through kq_link).
function(kq_library name)
  if(ARGN)
    add_library(${name} STATIC ${ARGN})
    target_include_directories(${name} PUBLIC ${KQ_INCLUDE_ROOT})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${KQ_INCLUDE_ROOT})
  endif()
endfunction()

function(kq_link name)
  get_target_property(_type ${name} TYPE)
  if(_type STREQUAL "INTERFACE_LIBRARY")
    target_link_libraries(${name} INTERFACE ${ARGN})
  else()
    target_link_libraries(${name} PUBLIC ${ARGN})
  endif()
endfunction()

# kq_add_gtest(name SOURCES a.cpp ... LIBS lib ... [NETWORK] [TIMEOUT s] [LABELS l ...])
# A GoogleTest executable registered with CTest. NETWORK tests run inside the private
# robot network's "host" namespace (scripts/robotnet); every test that opens a zenoh
# session must be one.
function(kq_add_gtest name)
  cmake_parse_arguments(T "NETWORK" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${KQ_INCLUDE_ROOT})
  target_compile_definitions(${name} PRIVATE
    KQ_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    KQ_VENV_PYTHON="${CMAKE_SOURCE_DIR}/.venv/bin/python")
  if(T_NETWORK)
    add_test(NAME ${name}
             COMMAND ${CMAKE_SOURCE_DIR}/scripts/robotnet exec host $<TARGET_FILE:${name}>)
    list(APPEND T_LABELS network)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
endfunction()
