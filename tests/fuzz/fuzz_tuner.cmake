# The tuner reader's transport-stream splitter.
fuzz_library_copy(kestrix_core)
add_executable(fuzz_tsdemux fuzz_tsdemux.cpp)
target_compile_options(fuzz_tsdemux PRIVATE ${fuzz_compile_flags})
target_link_options(fuzz_tsdemux PRIVATE ${fuzz_link_flags})
target_link_libraries(fuzz_tsdemux PRIVATE fuzz_kestrix_core)
