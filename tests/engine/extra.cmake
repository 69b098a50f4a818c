# Stand-in user-interface and tunnel libraries for the start-up, configuration
# and console tests. Each variant gets a folder of its own under
# bin/testlibs: a libquorin_ui.so or libtun.so directly in bin would be
# loaded by every engine run.
set(engine_support_dir ${CMAKE_CURRENT_SOURCE_DIR}/engine/support)
set(engine_test_libs ${CMAKE_BINARY_DIR}/bin/testlibs)

function(engine_test_library target source folder output)
  add_library(${target} SHARED ${engine_support_dir}/${source})
  set_target_properties(${target} PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY ${engine_test_libs}/${folder}
    OUTPUT_NAME ${output})
  target_compile_definitions(${target} PRIVATE ${ARGN})
endfunction()

engine_test_library(engine_test_ui_full test_ui.cpp ui_full quorin_ui)
engine_test_library(engine_test_ui_no_show test_ui.cpp ui_no_show quorin_ui TEST_UI_NO_SHOW)
engine_test_library(engine_test_tun_full test_tun.cpp tun_full tun)
engine_test_library(engine_test_tun_no_guid test_tun.cpp tun_no_guid tun TEST_TUN_NO_SET_TAP_GUID)
engine_test_library(engine_test_tun_no_end_work test_tun.cpp tun_no_end_work tun TEST_TUN_NO_END_WORK)
target_link_libraries(engine_test_ui_full PRIVATE Threads::Threads)

foreach(t engine_test_startup engine_test_config engine_test_console engine_test_log)
  if(TARGET ${t})
    add_dependencies(${t} quorin tun engine_test_ui_full engine_test_ui_no_show engine_test_tun_full
      engine_test_tun_no_guid engine_test_tun_no_end_work)
    target_compile_definitions(${t} PRIVATE QUORIN_TEST_LIBS="${engine_test_libs}")
  endif()
endforeach()
# The real interface library, beside an engine that has no display.
if(TARGET engine_test_startup AND TARGET quorin_ui)
  add_dependencies(engine_test_startup quorin_ui)
endif()

# Set-up, sockets and the server's view of a session shared by every engine
# unit test.
add_library(engine_testing STATIC ${engine_support_dir}/engine_testing.cpp)
target_link_libraries(engine_testing PUBLIC quorin_engine GTest::gtest)
foreach(src ${srcs})
  get_filename_component(name ${src} NAME_WE)
  target_link_libraries(engine_${name} PRIVATE engine_testing)
endforeach()
