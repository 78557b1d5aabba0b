# kq_library(name sources...): one layer as a static library (position-independent, so it
# can go into the shared library), with the project root as its public include root.
function(kq_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${KQ_INCLUDE_ROOT})
endfunction()

# The defaults of both kinds of test: the "host" namespace, 300 s.
macro(_kq_test_defaults)
  if(NOT T_NAMESPACE)
    set(T_NAMESPACE host)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
endmacro()

# kq_add_gtest(name SOURCES a.cpp ... LIBS lib ... [NETWORK [NAMESPACE ns]] [TIMEOUT s]
#              [LABELS l ...])
# A GoogleTest executable registered with CTest. NETWORK tests run inside a namespace of the
# private robot networks ("host" unless NAMESPACE names another, see scripts/lib/robotnet);
# every test that opens a zenoh session must be one.
function(kq_add_gtest name)
  cmake_parse_arguments(T "NETWORK" "TIMEOUT;NAMESPACE" "SOURCES;LIBS;LABELS" ${ARGN})
  _kq_test_defaults()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${KQ_INCLUDE_ROOT})
  target_compile_definitions(${name} PRIVATE
    KQ_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    KQ_VENV_PYTHON="${PROJECT_SOURCE_DIR}/.venv/bin/python")
  if(T_NETWORK)
    add_test(NAME ${name}
             COMMAND ${PROJECT_SOURCE_DIR}/scripts/lib/robotnet exec ${T_NAMESPACE} $<TARGET_FILE:${name}>)
    list(APPEND T_LABELS network)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
endfunction()

# kq_add_pytest(name [NAMESPACE ns] [TIMEOUT s] [PATH dir ...])
# The pytest suite of the calling folder, run by the project's .venv inside a namespace of
# the private robot networks ("host" by default), with the given folders on PYTHONPATH
# (the built modules' folder, for suites that import them).
function(kq_add_pytest name)
  cmake_parse_arguments(T "" "NAMESPACE;TIMEOUT" "PATH" ${ARGN})
  _kq_test_defaults()
  add_test(NAME ${name}
           COMMAND ${PROJECT_SOURCE_DIR}/scripts/lib/robotnet exec ${T_NAMESPACE}
                   ${PROJECT_SOURCE_DIR}/.venv/bin/python -m pytest -q -p no:cacheprovider
                   ${CMAKE_CURRENT_SOURCE_DIR}
           WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
  set_tests_properties(${name} PROPERTIES LABELS network TIMEOUT ${T_TIMEOUT})
  if(T_PATH)
    string(REPLACE ";" ":" _path "${T_PATH}")
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "PYTHONPATH=${_path}")
  endif()
endfunction()
