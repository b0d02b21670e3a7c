# The sonoscriptor command: a starter that speaks the engine's protocol.
# Included by the top CMakeLists.txt.

find_package(PkgConfig REQUIRED)
pkg_check_modules(SNDFILE REQUIRED IMPORTED_TARGET sndfile)
pkg_check_modules(SOXR REQUIRED IMPORTED_TARGET soxr)
pkg_check_modules(AUBIO REQUIRED IMPORTED_TARGET aubio)
pkg_check_modules(LIBXML2 REQUIRED IMPORTED_TARGET libxml-2.0)
pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
pkg_check_modules(FFTW REQUIRED IMPORTED_TARGET fftw3f)

set(STARTER_DATA_SUBDIR ${CMAKE_INSTALL_DATADIR}/sonoscriptor)
file(RELATIVE_PATH STARTER_RELATIVE_DATA_DIR
  ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_DATADIR}/sonoscriptor)

file(GLOB STARTER_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/app/starter/*.cpp
  ${CMAKE_SOURCE_DIR}/app/starter/score/*.cpp ${CMAKE_SOURCE_DIR}/app/starter/metre/*.cpp
  ${CMAKE_SOURCE_DIR}/app/starter/refine/*.cpp)
list(FILTER STARTER_SOURCES EXCLUDE REGEX "/main\\.cpp$")
add_library(sonoscriptor_starter STATIC ${STARTER_SOURCES})
target_include_directories(sonoscriptor_starter PUBLIC ${CMAKE_SOURCE_DIR})
# The engine's own settings-line reader checks what the starter writes.
target_link_libraries(sonoscriptor_starter PUBLIC sonoscriptor_core PkgConfig::SNDFILE PkgConfig::SOXR PkgConfig::AUBIO
  PkgConfig::FFTW PkgConfig::LIBXML2 PkgConfig::LIBZIP)
target_compile_definitions(sonoscriptor_starter PRIVATE
  STARTER_BUILD_DIR="${CMAKE_BINARY_DIR}"
  STARTER_SOURCE_DATA_DIR="${CMAKE_SOURCE_DIR}/data/"
  STARTER_INSTALL_BIN_DIR="${CMAKE_INSTALL_FULL_BINDIR}"
  STARTER_INSTALL_DATA_DIR="${CMAKE_INSTALL_FULL_DATADIR}/sonoscriptor/"
  STARTER_RELATIVE_DATA_DIR="${STARTER_RELATIVE_DATA_DIR}/")

add_executable(sonoscriptor ${CMAKE_SOURCE_DIR}/app/starter/main.cpp)
target_link_libraries(sonoscriptor PRIVATE sonoscriptor_starter)
target_compile_definitions(sonoscriptor PRIVATE STARTER_VERSION="${PROJECT_VERSION}")
if(TARGET sonoscriptor-engine)
  add_dependencies(sonoscriptor sonoscriptor-engine)
endif()

install(TARGETS sonoscriptor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# A developer tool: the refinement stage with many sets of thresholds on one recording.
add_executable(sonoscriptor-refine ${CMAKE_SOURCE_DIR}/app/refine_tool.cpp)
target_link_libraries(sonoscriptor-refine PRIVATE sonoscriptor_starter)
install(FILES ${CMAKE_SOURCE_DIR}/data/filter.txt ${CMAKE_SOURCE_DIR}/data/filter.dat
  DESTINATION ${STARTER_DATA_SUBDIR} OPTIONAL)

# Tests of the starter: option mapping, protocol, conversions, messages, batches.
file(GLOB STARTER_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/app/*.cpp
  ${CMAKE_SOURCE_DIR}/tests/app/score/*.cpp ${CMAKE_SOURCE_DIR}/tests/app/metre/*.cpp
  ${CMAKE_SOURCE_DIR}/tests/app/refine/*.cpp)
if(STARTER_TEST_SOURCES)
  enable_testing()
  find_package(GTest REQUIRED)
  include(GoogleTest)
  add_executable(sonoscriptor-starter-tests ${STARTER_TEST_SOURCES})
  target_link_libraries(sonoscriptor-starter-tests PRIVATE
    sonoscriptor_starter sonoscriptor_core GTest::gtest GTest::gtest_main util)
  target_compile_definitions(sonoscriptor-starter-tests PRIVATE
    STARTER_PATH="$<TARGET_FILE:sonoscriptor>"
    REFINE_TOOL_PATH="$<TARGET_FILE:sonoscriptor-refine>"
    ENGINE_PATH="$<TARGET_FILE:sonoscriptor-engine>"
    SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    BUILD_DIR="${CMAKE_BINARY_DIR}")
  add_dependencies(sonoscriptor-starter-tests sonoscriptor sonoscriptor-engine sonoscriptor-refine)
  gtest_discover_tests(sonoscriptor-starter-tests TEST_PREFIX "starter." DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300)
endif()
