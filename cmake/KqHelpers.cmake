# kq_library(name sources...): one layer as a static library (position-independent, so it
# can go into the shared library), with the project root as its public include root.
function(kq_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${KQ_INCLUDE_ROOT})
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
    KQ_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    KQ_VENV_PYTHON="${PROJECT_SOURCE_DIR}/.venv/bin/python")
  if(T_NETWORK)
    add_test(NAME ${name}
             COMMAND ${PROJECT_SOURCE_DIR}/scripts/robotnet exec host $<TARGET_FILE:${name}>)
    list(APPEND T_LABELS network)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
endfunction()
