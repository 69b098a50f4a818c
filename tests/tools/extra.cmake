# The link emulator's test drives its library and starts the relay program.
if(TARGET tools_test_linkem)
  target_link_libraries(tools_test_linkem PRIVATE quorin_linkem)
  add_dependencies(tools_test_linkem linkem)
endif()
