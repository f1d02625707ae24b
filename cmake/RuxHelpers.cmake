# rux_add_test(NAME SOURCES a.cpp b.cpp LIBS x y)
# One GoogleTest program per area, registered with CTest as one test.
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)

function(rux_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    RUX_BUILD_DIR="${CMAKE_BINARY_DIR}" RUX_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
endfunction()

# rux_add_package(NAME SOURCES ... LIBS ...): a deliverable shared library that exports
# only mcn_main and tkvercn1 (hidden visibility plus a version script).
function(rux_add_package name)
  cmake_parse_arguments(P "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} SHARED ${P_SOURCES})
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".so"
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  # The entry points are compiled into each package directly: nothing in a package refers to them,
  # so from a static library the linker would leave them out.
  target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/frame/entry/module_entry.cpp)
  target_link_libraries(${name} PRIVATE ${P_LIBS} rux_frame)
  target_link_options(${name} PRIVATE
    -Wl,--version-script=${CMAKE_SOURCE_DIR}/frame/exports.map -Wl,--no-undefined)
  if(NOT RUX_SANITIZE)
    target_link_options(${name} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()
