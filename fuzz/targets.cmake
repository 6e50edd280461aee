# The fuzz targets and the core modules each needs, shared by the libFuzzer
# build (fuzz/CMakeLists.txt) and the replay tests (fuzz/replay.cmake). The
# harnesses share the reference CBOR reader of tests/core/support.
set(CORVANTIS_FUZZ_TARGETS fuzz_cbor_parser fuzz_cbor_float fuzz_delta_apply fuzz_diff_roundtrip fuzz_buf_enc
    fuzz_engine)
set(CORVANTIS_FUZZ_SUPPORT_DIR ${CMAKE_CURRENT_LIST_DIR}/../tests/core/support)
set(_delta_modules buf cbor_generator cbor_parser edit_script coallescing_script storage execution diff)
set(CORVANTIS_FUZZ_NEEDS_fuzz_cbor_parser cbor_parser)
set(CORVANTIS_FUZZ_NEEDS_fuzz_cbor_float cbor_generator cbor_parser)
set(CORVANTIS_FUZZ_NEEDS_fuzz_delta_apply ${_delta_modules})
set(CORVANTIS_FUZZ_NEEDS_fuzz_diff_roundtrip ${_delta_modules})
set(CORVANTIS_FUZZ_NEEDS_fuzz_buf_enc buf buf_enc list)
set(CORVANTIS_FUZZ_NEEDS_fuzz_engine buf cbor_generator edit_script storage execution)
# fuzz_engine records the engine's calls with a coalescing script of its own.
set(CORVANTIS_FUZZ_OWN_COALESCING_fuzz_engine ON)

function(corvantis_fuzz_available core_dir target out)
  set(ok ON)
  foreach(module ${CORVANTIS_FUZZ_NEEDS_${target}})
    if(NOT EXISTS ${core_dir}/${module}.cpp OR NOT EXISTS ${core_dir}/${module}.h)
      set(ok OFF)
    endif()
  endforeach()
  set(${out} ${ok} PARENT_SCOPE)
endfunction()
