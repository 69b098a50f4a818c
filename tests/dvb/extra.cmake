# The DVB library's tests load build/bin/libdvb.so, which finds its tuner
# reader beside the program that loaded it: the fake readers are built there.
function(fake_kestrix target)
  add_library(${target} SHARED ${CMAKE_CURRENT_SOURCE_DIR}/dvb/fake_kestrix.cpp)
  target_link_libraries(${target} PRIVATE Threads::Threads)
  target_compile_definitions(${target} PRIVATE ${ARGN})
  set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endfunction()
fake_kestrix(KestrixFake)
# A reader without Statistic, which the library must refuse as a whole.
fake_kestrix(KestrixPartial FAKE_KESTRIX_WITHOUT_STATISTIC)

file(GLOB dvb_test_srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/dvb/test_*.cpp)
foreach(src ${dvb_test_srcs})
  get_filename_component(name ${src} NAME_WE)
  target_link_libraries(dvb_${name} PRIVATE quorin_e2e_harness ${CMAKE_DL_LIBS})
  foreach(dep dvb KestrixFake KestrixPartial Kestrix TeVii refserver quorin linkem)
    if(TARGET ${dep})
      add_dependencies(dvb_${name} ${dep})
    endif()
  endforeach()
endforeach()
