# The DVB window's tests: fake DVB libraries, each libdvb.so in a folder of
# its own under bin/testlibs (the window loads the file of that name from
# the folder it is pointed at), and the real satellite road end to end.
function(fake_dvb variant)
  set(target fake_dvb_${variant})
  add_library(${target} SHARED ${CMAKE_CURRENT_SOURCE_DIR}/ui/dvb/fake_dvb.cpp)
  target_compile_definitions(${target} PRIVATE ${ARGN})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME dvb
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/testlibs/dvb_${variant})
  add_dependencies(ui_test_dvb_window ${target})
endfunction()
fake_dvb(full)
# Without a function the window needs: treated as no library.
fake_dvb(partial FAKE_DVB_WITHOUT_FILTER_STAT)
fake_dvb(noname FAKE_DVB_WITHOUT_CARD_NAME)
# Without the card list: the window probes with init.
fake_dvb(probe FAKE_DVB_WITHOUT_CARD_COUNT)

target_link_libraries(ui_test_dvb_window PRIVATE quorin_ui_testing ${CMAKE_DL_LIBS})
target_compile_definitions(ui_test_dvb_window PRIVATE QUORIN_TEST_LIBS="${CMAKE_BINARY_DIR}/bin/testlibs")
if(TARGET ui_test_dvb_end_to_end)
  target_link_libraries(ui_test_dvb_end_to_end PRIVATE quorin_ui_testing)
  add_dependencies(ui_test_dvb_end_to_end quorin refserver linkem dvb Kestrix TeVii)
endif()
target_link_libraries(ui_test_dvb_settings PRIVATE quorin_e2e_harness)
