# The committed corpora and regression inputs as tests of the normal build: each harness with replay_main.cpp.
set(CORVANTIS_FUZZ_DIR ${PROJECT_SOURCE_DIR}/fuzz)
include(${CORVANTIS_FUZZ_DIR}/targets.cmake)

foreach(target ${CORVANTIS_FUZZ_TARGETS})
  add_executable(${target}_replay ${CORVANTIS_FUZZ_DIR}/${target}.cpp ${CORVANTIS_FUZZ_DIR}/replay_main.cpp)
  target_include_directories(${target}_replay PRIVATE ${CORVANTIS_FUZZ_SUPPORT_DIR})
  target_compile_options(${target}_replay PRIVATE ${CORVANTIS_WARNINGS})
  target_link_libraries(${target}_replay PRIVATE corvantis_core_static)
  add_test(NAME fuzz_replay.${target}
           COMMAND ${target}_replay ${CORVANTIS_FUZZ_DIR}/corpus/${target} ${CORVANTIS_FUZZ_DIR}/regressions/${target})
  set_tests_properties(fuzz_replay.${target} PROPERTIES TIMEOUT 600)
endforeach()
