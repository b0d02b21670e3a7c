# Filter-record builder: measures instrument templates for the filter path
# (see data/README.md and data/build-filters.sh).
add_executable(sonoscriptor-filter-builder ${CMAKE_SOURCE_DIR}/app/filter_builder.cpp)
target_link_libraries(sonoscriptor-filter-builder PRIVATE sonoscriptor_core)
install(TARGETS sonoscriptor-filter-builder RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The tests run the builder binary; the test target is defined later in the
# top-level file, so the hook runs at the end of that directory.
function(filter_builder_test_hooks)
  if(TARGET sonoscriptor-tests)
    add_dependencies(sonoscriptor-tests sonoscriptor-filter-builder)
    target_compile_definitions(sonoscriptor-tests PRIVATE
      FILTER_BUILDER_PATH="$<TARGET_FILE:sonoscriptor-filter-builder>")
  endif()
endfunction()
cmake_language(DEFER CALL filter_builder_test_hooks)
