# The firmware image: the driver sources cross-compiled with clang for the
# UEFI x64 ABI and linked with lld-link into a PE32+ boot-service driver.
find_program(EFI_CLANG NAMES clang++-14 clang++ REQUIRED)
find_program(EFI_LLD_LINK NAMES lld-link-14 lld-link REQUIRED)

# -Oz with link-time optimisation: flash space is what the image is counted
# in. The image-only sources (the seam's instructions and the block-copy
# routines) stay native objects: the calls the code generator emits after
# LTO always find the copy routines, and the seam's instruction forms can be
# checked in its object file.
set(EFI_CFLAGS --target=x86_64-unknown-windows -std=c++17 -Oz -ffreestanding -fno-exceptions -fno-rtti
    -mno-red-zone -mno-stack-arg-probe -fno-stack-protector -nostdlib -fno-builtin -fshort-wchar
    -ffunction-sections -fdata-sections -Wall -Wextra -Werror -I${CMAKE_SOURCE_DIR})

set(EFI_OBJECTS)
foreach(src ${DRIVER_SOURCES} ${DRIVER_EFI_ONLY_SOURCES} ${EFI_EXTRA_SOURCES})
  file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${src})
  string(REPLACE "/" "_" objname ${rel})
  set(obj ${CMAKE_BINARY_DIR}/efi/obj/${objname}.obj)
  set(lto -flto)
  if(rel MATCHES "^support/base/efi/")
    set(lto)
  endif()
  add_custom_command(
    OUTPUT ${obj}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/efi/obj
    COMMAND ${EFI_CLANG} ${EFI_CFLAGS} ${lto} -MD -MF ${obj}.d -c ${src} -o ${obj}
    DEPENDS ${src}
    DEPFILE ${obj}.d
    COMMENT "EFI: compiling ${rel}"
    VERBATIM)
  list(APPEND EFI_OBJECTS ${obj})
endforeach()

set(EFI_IMAGE ${CMAKE_BINARY_DIR}/efi/BootCtlDxe.efi)
# /timestamp:0: the header's time stamp is 0 instead of the time of the link,
# so the same sources give the same image bit for bit (/Brepro would do it
# with a debug directory entry, 32 bytes more).
set(EFI_LINK_FLAGS /subsystem:efi_boot_service_driver /entry:DriverEntry /nodefaultlib /machine:x64 /opt:ref
    /opt:icf /merge:.rdata=.text /filealign:32 /timestamp:0)
add_custom_command(
  OUTPUT ${EFI_IMAGE}
  COMMAND ${EFI_LLD_LINK} ${EFI_LINK_FLAGS} /out:${EFI_IMAGE} ${EFI_OBJECTS}
  COMMAND ${CMAKE_COMMAND} -E echo "BootCtlDxe.efi built"
  COMMAND stat -c "efi image size: %s bytes" ${EFI_IMAGE}
  DEPENDS ${EFI_OBJECTS}
  COMMENT "EFI: linking BootCtlDxe.efi"
  VERBATIM)
add_custom_target(efi_image ALL DEPENDS ${EFI_IMAGE})

# The same image as a PI firmware file (DXE driver) for a firmware volume;
# ffspack is defined in tools/ffs.
set(EFI_FFS ${CMAKE_BINARY_DIR}/efi/BootCtlDxe.ffs)
add_custom_command(
  OUTPUT ${EFI_FFS}
  COMMAND ffspack ${EFI_IMAGE} ${EFI_FFS}
  DEPENDS ffspack ${EFI_IMAGE}
  COMMENT "EFI: packaging BootCtlDxe.ffs"
  VERBATIM)
add_custom_target(efi_ffs ALL DEPENDS ${EFI_FFS})

enable_testing()
add_test(NAME efi_image_check COMMAND ${CMAKE_SOURCE_DIR}/tools/check-efi-image.sh ${EFI_IMAGE})
set_tests_properties(efi_image_check PROPERTIES LABELS efi)
