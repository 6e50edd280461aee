# Replays the committed fuzz corpora and regression inputs as ordinary tests
# of the normal build (no libFuzzer, any compiler): each harness is linked
# with replay_main.cpp, which feeds it every file of its corpus and
# regression directories. Included from tests/core/CMakeLists.txt.
set(CORVANTIS_FUZZ_DIR ${PROJECT_SOURCE_DIR}/fuzz)
include(${CORVANTIS_FUZZ_DIR}/targets.cmake)

set(_corvantis_core_own_coalescing ${CORVANTIS_CORE_SOURCES})
list(FILTER _corvantis_core_own_coalescing EXCLUDE REGEX "/coallescing_script\\.cpp$")

foreach(target ${CORVANTIS_FUZZ_TARGETS})
  corvantis_fuzz_available(${PROJECT_SOURCE_DIR}/src/main/core ${target} available)
  if(NOT available)
    continue()
  endif()
  add_executable(${target}_replay ${CORVANTIS_FUZZ_DIR}/${target}.cpp ${CORVANTIS_FUZZ_DIR}/replay_main.cpp)
  target_compile_options(${target}_replay PRIVATE ${CORVANTIS_WARNINGS})
  if(CORVANTIS_FUZZ_OWN_COALESCING_${target})
    if(NOT TARGET corvantis_core_own_coalescing)
      add_library(corvantis_core_own_coalescing STATIC ${_corvantis_core_own_coalescing})
      target_include_directories(corvantis_core_own_coalescing PUBLIC ${PROJECT_SOURCE_DIR}/src/main/core)
      target_compile_options(corvantis_core_own_coalescing PRIVATE ${CORVANTIS_WARNINGS})
    endif()
    target_link_libraries(${target}_replay PRIVATE corvantis_core_own_coalescing)
  else()
    target_link_libraries(${target}_replay PRIVATE corvantis_core_testing)
  endif()
  add_test(NAME fuzz_replay.${target}
           COMMAND ${target}_replay ${CORVANTIS_FUZZ_DIR}/corpus/${target} ${CORVANTIS_FUZZ_DIR}/regressions/${target})
  set_tests_properties(fuzz_replay.${target} PROPERTIES TIMEOUT 600)
endforeach()
