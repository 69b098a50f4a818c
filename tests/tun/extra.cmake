# The namespace tests load the real libtun.so from the build's bin folder:
# it must be built first (a missing library fails them, it does not skip).
if(TARGET tun_test_netns)
  add_dependencies(tun_test_netns tun)
endif()
