# The camera layer over the pass-through driver: start-up, the camera list, and camera connections.
# Portable: it reaches the platform through the device-setup ports and the driver through KvxUpx_*.
add_library(fcp_passthrough_camera STATIC
  ${CMAKE_CURRENT_LIST_DIR}/camera_layer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/camera_text.cpp)
target_link_libraries(fcp_passthrough_camera PUBLIC fcp_os PRIVATE fcp_uvc)
