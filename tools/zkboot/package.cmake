# The Debian package of the OS side, as users install it: zkboot linked
# statically (it runs on a bare initramfs as well as on a full system), its
# manual page and zkboot-once.service. Included by the top-level project when
# it is configured with -DZKBOOT_PACKAGE=ON; tools/zkboot/package.sh drives it.
set(ZKBOOT_VERSION 0.1.0 CACHE STRING "Version of the zkboot package")
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Installation prefix" FORCE)
endif()

include(cmake/DriverSources.cmake)
find_package(nlohmann_json 3 REQUIRED)
find_package(CLI11 REQUIRED)

# The driver's code and the simulated notebook that zkboot's prediction runs
# it on, as static archives: only what zkboot calls is linked in.
add_library(zkboot_driver STATIC ${DRIVER_SOURCES})
target_compile_options(zkboot_driver PRIVATE ${DRIVER_HOST_FLAGS})
target_include_directories(zkboot_driver PUBLIC ${CMAKE_SOURCE_DIR})

file(GLOB ZKBOOT_SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/*/*.cpp)
list(FILTER ZKBOOT_SIM_SOURCES EXCLUDE REGEX "/sim/main_.*\\.cpp$")
# zkboot runs the driver's code in-process and never loads it as a shared
# object: the loader is left out, and the link drops the platform's boot runs
# that would use it (--gc-sections below).
list(FILTER ZKBOOT_SIM_SOURCES EXCLUDE REGEX "/sim/boot/driver_image\\.cpp$")
add_library(zkboot_sim STATIC ${ZKBOOT_SIM_SOURCES})
target_include_directories(zkboot_sim PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(zkboot_sim PRIVATE nlohmann_json::nlohmann_json)
# The driver calls the simulator's hardware seam: its archive goes first.
target_link_libraries(zkboot_driver PUBLIC zkboot_sim)

set(ZKBOOT_DIR ${CMAKE_SOURCE_DIR}/tools/zkboot)
add_executable(zkboot ${ZKBOOT_DIR}/main.cpp ${ZKBOOT_DIR}/efivars.cpp ${ZKBOOT_DIR}/devpath.cpp
                      ${ZKBOOT_DIR}/predict.cpp ${ZKBOOT_DIR}/zkboot.cpp)
target_link_libraries(zkboot PRIVATE zkboot_driver nlohmann_json::nlohmann_json CLI11::CLI11)
# Sections of their own let the linker drop what zkboot never calls.
target_compile_options(zkboot_driver PRIVATE -ffunction-sections -fdata-sections)
target_compile_options(zkboot_sim PRIVATE -ffunction-sections -fdata-sections)
target_compile_options(zkboot PRIVATE -ffunction-sections -fdata-sections)
target_link_options(zkboot PRIVATE -static -Wl,--gc-sections)

# The manual page, compressed as Debian ships manual pages (gzip -9n: no name,
# no time stamp).
set(ZKBOOT_MAN_GZ ${CMAKE_CURRENT_BINARY_DIR}/zkboot.8.gz)
add_custom_command(OUTPUT ${ZKBOOT_MAN_GZ}
                   COMMAND gzip -9n -c ${ZKBOOT_DIR}/zkboot.8 > ${ZKBOOT_MAN_GZ}
                   DEPENDS ${ZKBOOT_DIR}/zkboot.8 VERBATIM)
add_custom_target(zkboot_man ALL DEPENDS ${ZKBOOT_MAN_GZ})

configure_file(${ZKBOOT_DIR}/zkboot-once.service ${CMAKE_CURRENT_BINARY_DIR}/zkboot-once.service @ONLY)

install(TARGETS zkboot RUNTIME DESTINATION bin)
install(FILES ${ZKBOOT_MAN_GZ} DESTINATION share/man/man8)
# Debian puts the units of its packages in /lib/systemd/system.
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zkboot-once.service DESTINATION /lib/systemd/system)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zkboot)
set(CPACK_PACKAGE_VERSION ${ZKBOOT_VERSION})
set(CPACK_PACKAGE_CONTACT "BootCtlDxe firmware team <firmware@bootctl.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "change-boot requests for the notebook's boot-control firmware driver")
set(CPACK_PACKAGE_DESCRIPTION
    "zkboot leaves change-boot requests (start from USB, network or disk, or a
factory reset), the saved lid flag and the out-of-box test counter for the
notebook's boot-control DXE driver in the UEFI variables (efivarfs), and
predicts what the next boot will do by running the driver's own code on a
copy of them. zkboot-once.service removes a one-time request once the
firmware has taken it.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Statically linked: no shared library to depend on.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${ZKBOOT_DIR}/debian/postinst ${ZKBOOT_DIR}/debian/prerm
                                       ${ZKBOOT_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
