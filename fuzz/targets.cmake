# The fuzz targets and the core modules each one needs. Shared by the
# libFuzzer build (fuzz/CMakeLists.txt) and the replay tests of the normal
# build (fuzz/replay.cmake): a target is built only once the sources and
# headers of all its modules are in the tree.
set(CORVANTIS_FUZZ_TARGETS
  fuzz_cbor_parser
  fuzz_cbor_float
  fuzz_delta_apply
  fuzz_diff_roundtrip
  fuzz_buf_enc
  fuzz_engine)

set(_corvantis_delta_modules buf cbor_generator cbor_parser edit_script coallescing_script
    storage execution diff)
set(CORVANTIS_FUZZ_NEEDS_fuzz_cbor_parser cbor_parser)
set(CORVANTIS_FUZZ_NEEDS_fuzz_cbor_float cbor_generator cbor_parser)
set(CORVANTIS_FUZZ_NEEDS_fuzz_delta_apply ${_corvantis_delta_modules})
set(CORVANTIS_FUZZ_NEEDS_fuzz_diff_roundtrip ${_corvantis_delta_modules})
set(CORVANTIS_FUZZ_NEEDS_fuzz_buf_enc buf buf_enc list)
set(CORVANTIS_FUZZ_NEEDS_fuzz_engine buf cbor_generator edit_script storage execution)

function(corvantis_fuzz_available core_dir target out)
  set(ok ON)
  foreach(module ${CORVANTIS_FUZZ_NEEDS_${target}})
    if(NOT EXISTS ${core_dir}/${module}.cpp OR NOT EXISTS ${core_dir}/${module}.h)
      set(ok OFF)
    endif()
  endforeach()
  set(${out} ${ok} PARENT_SCOPE)
endfunction()
