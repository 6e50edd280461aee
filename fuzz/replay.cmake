# Replays the committed fuzz corpora and regression inputs as ordinary tests
# of the normal build (no libFuzzer, any compiler): each harness is linked
# with replay_main.cpp, which feeds it every file of its corpus and
# regression directories. Included from tests/core/CMakeLists.txt.
set(CORVANTIS_FUZZ_DIR ${PROJECT_SOURCE_DIR}/fuzz)
include(${CORVANTIS_FUZZ_DIR}/targets.cmake)

foreach(target ${CORVANTIS_FUZZ_TARGETS})
  corvantis_fuzz_available(${PROJECT_SOURCE_DIR}/src/main/core ${target} available)
  if(NOT available)
    continue()
  endif()
  add_executable(${target}_replay ${CORVANTIS_FUZZ_DIR}/${target}.cpp ${CORVANTIS_FUZZ_DIR}/replay_main.cpp)
  target_compile_options(${target}_replay PRIVATE ${CORVANTIS_WARNINGS})
  target_link_libraries(${target}_replay PRIVATE corvantis_core_static)
  add_test(NAME fuzz_replay.${target}
           COMMAND ${target}_replay ${CORVANTIS_FUZZ_DIR}/corpus/${target} ${CORVANTIS_FUZZ_DIR}/regressions/${target})
  set_tests_properties(fuzz_replay.${target} PROPERTIES TIMEOUT 600)
endforeach()
