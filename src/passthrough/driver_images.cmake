# The three KvxUpx driver images inside the Windows tool. This build makes the image of its own
# processor (and, on x64, the ARM64 one); the image of the other processor comes from a second,
# driver-only configuration of this same tree with the other tool chain, built as part of this build.
include(ExternalProject)
include(EmbedBinary)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(other_toolchain ${PROJECT_SOURCE_DIR}/cmake/toolchain-mingw-i686.cmake)
  set(other_dir ${CMAKE_BINARY_DIR}/driver-images-x86)
  set(other_targets --target kvxupx_driver)
  set(image_x64 $<TARGET_FILE:kvxupx_driver>)
  set(image_x86 ${other_dir}/src/driver/wdm/KvxUpx.sys)
  set(image_arm64 ${CMAKE_BINARY_DIR}/src/driver/wdm/arm64/KvxUpx.sys)
  set(own_targets kvxupx_driver kvxupx_driver_arm64)
  set(other_byproducts ${image_x86})
else()
  set(other_toolchain ${PROJECT_SOURCE_DIR}/cmake/toolchain-mingw-x86_64.cmake)
  set(other_dir ${CMAKE_BINARY_DIR}/driver-images-x64)
  set(other_targets --target kvxupx_driver --target kvxupx_driver_arm64)
  set(image_x86 $<TARGET_FILE:kvxupx_driver>)
  set(image_x64 ${other_dir}/src/driver/wdm/KvxUpx.sys)
  set(image_arm64 ${other_dir}/src/driver/wdm/arm64/KvxUpx.sys)
  set(own_targets kvxupx_driver)
  set(other_byproducts ${image_x64} ${image_arm64})
endif()

# Everything that decides the images' contents goes to the second configuration as well.
set(forwarded)
foreach(var FCP_DRIVER_VERSION FCP_XU_GUID_1 FCP_XU_GUID_2 FCP_PIDS_VZQ2201 FCP_PIDS_VZQ2202 FCP_PIDS_VZQ2203
            FCP_USB_VENDOR_ID FCP_VENDOR_PATTERN FCP_HUB_PRODUCT_1 FCP_HUB_PRODUCT_2 CMAKE_BUILD_TYPE)
  if(NOT DEFINED CACHE{${var}})
    continue()  # not set yet: the second configuration takes the same default
  endif()
  string(REPLACE ";" "$<SEMICOLON>" value "$CACHE{${var}}")
  list(APPEND forwarded "-D${var}:STRING=${value}")
endforeach()
ExternalProject_Add(kvxupx_other_images
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${other_dir}
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${other_toolchain} -DFCP_DRIVER_IMAGES_ONLY=ON ${forwarded}
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> ${other_targets}
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${other_byproducts}
  INSTALL_COMMAND ""
  USES_TERMINAL_BUILD OFF)

set(generated ${CMAKE_CURRENT_BINARY_DIR}/driver_images)
fcp_embed_binary(${generated}/image_x86.cpp SYMBOL kImageX86 NAMESPACE fcp::passthrough::embedded INPUT ${image_x86}
                 DEPENDS ${own_targets} kvxupx_other_images)
fcp_embed_binary(${generated}/image_x64.cpp SYMBOL kImageX64 NAMESPACE fcp::passthrough::embedded INPUT ${image_x64}
                 DEPENDS ${own_targets} kvxupx_other_images)
fcp_embed_binary(${generated}/image_arm64.cpp SYMBOL kImageArm64 NAMESPACE fcp::passthrough::embedded
                 INPUT ${image_arm64} DEPENDS ${own_targets} kvxupx_other_images)

# An object library: an executable that links it carries the images whether or not it calls into
# them yet.
add_library(fcp_driver_images OBJECT
  embedded_driver_images.cpp ${generated}/image_x86.cpp ${generated}/image_x64.cpp ${generated}/image_arm64.cpp)
target_include_directories(fcp_driver_images PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(fcp_passthrough PUBLIC fcp_driver_images)
