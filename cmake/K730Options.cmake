# Compile options shared by every target of the project.
add_compile_options(-Wall -Wextra)
if(K730_WERROR)
  add_compile_options(-Werror)
endif()
if(WIN32)
  # Windows 10 API level; windows.h without min/max macros and without the
  # rarely used parts (sockets come from winsock2.h where they are used).
  add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 NOMINMAX WIN32_LEAN_AND_MEAN)
endif()
if(K730_SANITIZE)
  add_compile_options(-fsanitize=${K730_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${K730_SANITIZE})
endif()

# k730_add_test(NAME name SOURCES ... LIBS ... [ENV ...] [LABELS ...] [TIMEOUT s]): a GoogleTest
# executable registered with CTest.
# Every test runs with a small time scale so the fixed waits of the procedures take microseconds.
function(k730_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;ENV;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${T_TIMEOUT})
  # A list-valued ENVIRONMENT does not survive gtest_discover_tests' argument
  # passing, so it is set once CTest has read the discovered names.
  set(env "K730_TIME_SCALE=0.001" "K730_TEST_BIN_DIR=${CMAKE_BINARY_DIR}/bin" ${T_ENV})
  set(labels "")
  if(T_LABELS)
    set(labels " LABELS [==[${T_LABELS}]==]")
  endif()
  set(env_file "${CMAKE_CURRENT_BINARY_DIR}/${T_NAME}_environment.cmake")
  file(WRITE "${env_file}"
       "foreach(test IN LISTS ${T_NAME}_TESTS)\n"
       "  set_tests_properties(\"\${test}\" PROPERTIES ENVIRONMENT [==[${env}]==]${labels})\n"
       "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${env_file}")
endfunction()

set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
