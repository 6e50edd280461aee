# The committed corpora and regression inputs replayed as ordinary tests of
# the normal build (any compiler): each harness linked with replay_main.cpp.
set(CORVANTIS_FUZZ_DIR ${PROJECT_SOURCE_DIR}/fuzz)
include(${CORVANTIS_FUZZ_DIR}/targets.cmake)
set(_core_own_coalescing ${CORVANTIS_CORE_SOURCES})
list(FILTER _core_own_coalescing EXCLUDE REGEX "/coallescing_script\\.cpp$")

foreach(target ${CORVANTIS_FUZZ_TARGETS})
  add_executable(${target}_replay ${CORVANTIS_FUZZ_DIR}/${target}.cpp ${CORVANTIS_FUZZ_DIR}/replay_main.cpp)
  target_include_directories(${target}_replay PRIVATE ${CORVANTIS_FUZZ_SUPPORT_DIR})
  target_compile_options(${target}_replay PRIVATE ${CORVANTIS_WARNINGS})
  if(CORVANTIS_FUZZ_OWN_COALESCING_${target})
    if(NOT TARGET corvantis_core_own_coalescing)
      add_library(corvantis_core_own_coalescing STATIC ${_core_own_coalescing})
      target_include_directories(corvantis_core_own_coalescing PUBLIC ${PROJECT_SOURCE_DIR}/src/main/core)
    endif()
    target_link_libraries(${target}_replay PRIVATE corvantis_core_own_coalescing)
  else()
    target_link_libraries(${target}_replay PRIVATE corvantis_core_testing)
  endif()
  add_test(NAME fuzz_replay.${target}
           COMMAND ${target}_replay ${CORVANTIS_FUZZ_DIR}/corpus/${target} ${CORVANTIS_FUZZ_DIR}/regressions/${target})
  set_tests_properties(fuzz_replay.${target} PROPERTIES TIMEOUT 600)
endforeach()
