# One static library per source folder: every .cpp below the folder belongs to it.
function(zorv_library target dir)
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  add_library(${target} STATIC ${srcs})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src/lib)
  target_link_libraries(${target} PUBLIC Threads::Threads ${ARGN})
endfunction()

# One GoogleTest executable per test folder: every *_test.cpp below it.
function(zorv_tests target dir)
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*_test.cpp)
  add_executable(${target} ${srcs})
  target_link_libraries(${target} PRIVATE ${ARGN} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endfunction()
