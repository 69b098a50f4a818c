# The end-to-end harness (processes, data servers, SOCKS and console
# clients) is one library linked into every e2e test and into the
# reference server's own test, which drives the server process the same way.
add_library(quorin_e2e_harness STATIC ${CMAKE_CURRENT_SOURCE_DIR}/e2e/harness.cpp)
target_link_libraries(quorin_e2e_harness PUBLIC quorin_protocol Threads::Threads)
target_compile_definitions(quorin_e2e_harness PRIVATE QUORIN_BIN_DIR="${CMAKE_BINARY_DIR}/bin")

file(GLOB e2e_srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_*.cpp)
foreach(src ${e2e_srcs})
  get_filename_component(name ${src} NAME_WE)
  target_link_libraries(e2e_${name} PRIVATE quorin_e2e_harness)
  foreach(prog quorin refserver linkem tun)
    if(TARGET ${prog})
      add_dependencies(e2e_${name} ${prog})
    endif()
  endforeach()
endforeach()

if(TARGET tools_test_refserver)
  target_link_libraries(tools_test_refserver PRIVATE quorin_e2e_harness)
  add_dependencies(tools_test_refserver refserver)
endif()

# The tunnel road with the interface runs it under a private X display.
if(TARGET e2e_test_tunnel)
  target_link_libraries(e2e_test_tunnel PRIVATE quorin_ui_testing)
  add_dependencies(e2e_test_tunnel quorin_ui)
endif()
