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
# The link order is the image's layout. The entry point links right before
# the frame's sources, where it stood when it lived in frame/, so its move to
# entry/ left the image the same bit for bit.
file(GLOB ENTRY_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/entry/*.cpp)
list(SORT ENTRY_SOURCES)
set(at 0)
foreach(src ${DRIVER_SOURCES})
  if(src MATCHES "/frame/[^/]*$")
    break()
  endif()
  math(EXPR at "${at} + 1")
endforeach()
list(INSERT DRIVER_SOURCES ${at} ${ENTRY_SOURCES})
file(GLOB DRIVER_EFI_ONLY_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/support/base/efi/*.cpp)
