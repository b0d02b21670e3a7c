# How the test programs are compiled. Their own code is checks and fixtures; the time they run
# is spent in the libraries they test, which keep the build's optimisation. So the tests' sources
# are compiled unoptimised: optimising them roughly doubles their compile time (more again under
# the sanitizers' instrumentation), and at -O1 g++ 12 raises false array-bounds warnings inside
# std::string. Each test program also parses GoogleTest and the standard headers most tests
# include once, as a precompiled header.
set(SONOSCRIPTOR_TEST_HEADERS
  <gtest/gtest.h> <algorithm> <chrono> <cmath> <cstdint> <cstdlib> <filesystem> <fstream>
  <map> <random> <regex> <set> <sstream> <string> <thread> <vector>)

# Compiles a target of test code unoptimised, as above.
function(sonoscriptor_test_optimisation target)
  target_compile_options(${target} PRIVATE -O0)
endfunction()

# Compiles a test program's sources as above, with the shared headers precompiled.
function(sonoscriptor_test_program target)
  sonoscriptor_test_optimisation(${target})
  target_precompile_headers(${target} PRIVATE ${SONOSCRIPTOR_TEST_HEADERS})
  target_link_libraries(${target} PRIVATE sonoscriptor_test_support)
endfunction()

# The helpers every test program shares (files, processes, MIDI and WAV), compiled once.
add_library(sonoscriptor_test_support STATIC
  ${CMAKE_SOURCE_DIR}/tests/support/support.cpp ${CMAKE_SOURCE_DIR}/tests/support/process.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/midi.cpp ${CMAKE_SOURCE_DIR}/tests/support/wav.cpp)
target_include_directories(sonoscriptor_test_support PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(sonoscriptor_test_support PUBLIC util)
target_compile_definitions(sonoscriptor_test_support PRIVATE
  ENGINE_PATH="$<TARGET_FILE:sonoscriptor-engine>")
sonoscriptor_test_optimisation(sonoscriptor_test_support)
