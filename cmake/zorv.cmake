set(ZORV_SRC_LIB ${CMAKE_CURRENT_LIST_DIR}/../src/lib)
set(ZORV_TEST_SUPPORT ${CMAKE_CURRENT_LIST_DIR}/../tests/support)
# Each build tree's tests write below its own directory (GoogleTest's
# TempDir() and the e2e scripts read TEST_TMPDIR), so that two trees tested at
# once on one machine never share a file.
set(ZORV_TEST_TMPDIR ${CMAKE_BINARY_DIR}/tmp)
file(MAKE_DIRECTORY ${ZORV_TEST_TMPDIR})

# One static library per source folder: every .cpp below the folder belongs
# to it. The libraries named after dir are the ones below it (only downward).
function(zorv_library target dir)
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  add_library(${target} STATIC ${srcs})
  target_include_directories(${target} PUBLIC ${ZORV_SRC_LIB})
  target_link_libraries(${target} PUBLIC Threads::Threads ${ARGN})
endfunction()

# A folder whose code calls the other folders of its link group by design:
# compiled once as the object library <name>_objects, archived by
# zorv_link_group.
function(zorv_group_part name dir)
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  add_library(${name}_objects OBJECT ${srcs})
  target_include_directories(${name}_objects PUBLIC ${ZORV_SRC_LIB})
endfunction()

# The parts of a link group archived as the one static library <group>, so
# that the linker resolves their calls to each other inside one archive; each
# part's name stays a link name (an alias of the group) for the libraries above.
function(zorv_link_group group)
  set(objs)
  foreach(part ${ARGN})
    list(APPEND objs $<TARGET_OBJECTS:${part}_objects>)
  endforeach()
  add_library(${group} STATIC ${objs})
  target_include_directories(${group} PUBLIC ${ZORV_SRC_LIB})
  target_link_libraries(${group} PUBLIC Threads::Threads)
  foreach(part ${ARGN})
    # What a part links (a system library it calls) goes with the group.
    target_link_libraries(${group} PUBLIC $<TARGET_PROPERTY:${part}_objects,INTERFACE_LINK_LIBRARIES>)
    add_library(${part} ALIAS ${group})
  endforeach()
endfunction()

# One GoogleTest executable per test folder: every *_test.cpp below it, with
# the sanitizer options the tests rely on.
function(zorv_tests target dir)
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*_test.cpp)
  add_executable(${target} ${srcs} ${ZORV_TEST_SUPPORT}/sanitizer_options.cpp)
  target_link_libraries(${target} PRIVATE ${ARGN} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120 ENVIRONMENT TEST_TMPDIR=${ZORV_TEST_TMPDIR})
endfunction()
