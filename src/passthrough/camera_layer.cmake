# The camera layer over the pass-through driver: start-up, the camera list, and camera connections.
# Portable: it reaches the platform through the device-setup ports and the driver through KvxUpx_*.
add_library(fcp_passthrough_camera STATIC
  ${CMAKE_CURRENT_LIST_DIR}/camera_connection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/camera_layer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/camera_text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/camera_vendor_request.cpp)
target_link_libraries(fcp_passthrough_camera PUBLIC fcp_os fcp_passthrough PRIVATE fcp_text)
