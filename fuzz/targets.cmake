# The fuzz targets, for the libFuzzer build (fuzz/CMakeLists.txt) and the replay tests (fuzz/replay.cmake);
# the harnesses share the reference CBOR reader of tests/core/support.
set(CORVANTIS_FUZZ_TARGETS fuzz_cbor_parser fuzz_cbor_reader fuzz_cbor_float fuzz_apply fuzz_roundtrip
    fuzz_buf_enc fuzz_engine)
set(CORVANTIS_FUZZ_SUPPORT_DIR ${CMAKE_CURRENT_LIST_DIR}/../tests/core/support)
