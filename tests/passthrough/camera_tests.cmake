fcp_add_gtest(passthrough_camera_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/camera_layer_test.cpp ${CMAKE_CURRENT_LIST_DIR}/camera_connection_test.cpp
  LIBS fcp_passthrough_camera fcp_sim_windows)
