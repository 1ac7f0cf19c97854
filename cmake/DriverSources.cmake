# Driver sources shared by the host build and the firmware image. The x86-64
# seam backend and the compiler support routines under support/base/efi are
# added to the firmware image only.
file(GLOB DRIVER_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/frame/*.cpp
  ${CMAKE_SOURCE_DIR}/bootctl/*.cpp
  ${CMAKE_SOURCE_DIR}/s3/*.cpp
  ${CMAKE_SOURCE_DIR}/flash/*.cpp
  ${CMAKE_SOURCE_DIR}/support/*/*.cpp)
list(SORT DRIVER_SOURCES)
file(GLOB DRIVER_EFI_ONLY_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/support/base/efi/*.cpp)
