# Interface tests. Widget-free ones link the core only; window tests link
# the windows library and run offscreen; the library and end-to-end tests
# run the real libquorin_ui.so (loaded by ui_host or by the engine) under a
# private Xvfb with trayer.
find_package(X11 REQUIRED)
set(ui_support_dir ${CMAKE_CURRENT_SOURCE_DIR}/ui/support)

add_library(quorin_ui_testing STATIC ${ui_support_dir}/ui_testing.cpp ${ui_support_dir}/xsession.cpp
  ${ui_support_dir}/account_service.cpp)
target_link_libraries(quorin_ui_testing PUBLIC quorin_ui_windows quorin_e2e_harness GTest::gtest X11::X11)

add_executable(ui_host ${ui_support_dir}/ui_host.cpp)
# Also the engine's own main routine, for runs of the real engine with the
# interface; Qwt only to read the plots' curves.
target_link_libraries(ui_host PRIVATE Qt5::Widgets Qwt::Qwt quorin_engine quorin_platform Threads::Threads)
target_compile_definitions(ui_host PRIVATE QUORIN_BIN_DIR="${CMAKE_BINARY_DIR}/bin")

set(ui_window_tests ui_test_connect_form ui_test_download ui_test_settings_form ui_test_settings_engine ui_test_tray)
set(ui_process_tests ui_test_library ui_test_end_to_end ui_test_tray_end_to_end)
foreach(t ${ui_window_tests} ${ui_process_tests})
  if(TARGET ${t})
    target_link_libraries(${t} PRIVATE quorin_ui_testing)
  endif()
endforeach()
foreach(t ${ui_window_tests} ${ui_process_tests} ui_test_hang_up)
  if(TARGET ${t})
    target_compile_definitions(${t} PRIVATE QUORIN_FAKE_PPPD="${CMAKE_CURRENT_SOURCE_DIR}/data/fake_pppd")
  endif()
endforeach()
if(TARGET ui_test_download)
  add_dependencies(ui_test_download refserver)
endif()
if(TARGET ui_test_library)
  add_dependencies(ui_test_library quorin quorin_ui ui_host dvb Kestrix TeVii)
endif()
if(TARGET ui_test_end_to_end)
  add_dependencies(ui_test_end_to_end quorin quorin_ui refserver)
endif()
if(TARGET ui_test_tray)
  add_dependencies(ui_test_tray quorin refserver)
endif()
if(TARGET ui_test_tray_end_to_end)
  add_dependencies(ui_test_tray_end_to_end quorin_ui ui_host refserver)
endif()
# The configuration round trip reads what the interface writes with the
# engine's own reader, the tunnel parts through the stand-in tunnel library.
if(TARGET ui_test_conf)
  target_link_libraries(ui_test_conf PRIVATE quorin_engine engine_testing)
  target_compile_definitions(ui_test_conf PRIVATE QUORIN_TEST_LIBS="${CMAKE_BINARY_DIR}/bin/testlibs")
  add_dependencies(ui_test_conf engine_test_tun_full)
endif()

# The statistics window's console test runs the real engine against the
# reference server, through the end-to-end harness.
if(TARGET ui_test_statengine)
  target_link_libraries(ui_test_statengine PRIVATE quorin_e2e_harness)
  add_dependencies(ui_test_statengine quorin refserver)
endif()

# The settings dialog is edited with the keyboard; its engine test runs the
# real engine on what the dialog wrote.
find_package(Qt5 REQUIRED COMPONENTS Test)
foreach(t ui_test_settings_form ui_test_settings_engine)
  if(TARGET ${t})
    target_link_libraries(${t} PRIVATE Qt5::Test)
  endif()
endforeach()
if(TARGET ui_test_settings_engine)
  add_dependencies(ui_test_settings_engine quorin refserver)
endif()
include(${CMAKE_CURRENT_SOURCE_DIR}/ui/dvb/dvb.cmake)
if(TARGET ui_test_statbalance)
  target_link_libraries(ui_test_statbalance PRIVATE quorin_ui_testing)
  add_dependencies(ui_test_statbalance refserver)
endif()
# A fresh install of this build, started from its folder.
if(TARGET ui_test_install)
  target_link_libraries(ui_test_install PRIVATE quorin_ui_testing)
  target_compile_definitions(ui_test_install PRIVATE QUORIN_CMAKE="${CMAKE_COMMAND}" QUORIN_BUILD_DIR="${CMAKE_BINARY_DIR}")
  add_dependencies(ui_test_install quorin quorin_ui tun dvb Kestrix TeVii ui_host)
endif()
