# The statistics window's console test runs the real engine against the
# reference server, through the end-to-end harness.
if(TARGET ui_test_statengine)
  target_link_libraries(ui_test_statengine PRIVATE quorin_e2e_harness)
  add_dependencies(ui_test_statengine quorin refserver)
endif()
