# Firmware tests of the dispatched driver: BootCtlDxe.ffs and the stand-in
# as firmware files in OVMF's DXE volume (dispatch.py, ovmfvol.py). The first
# test builds the firmware images once; the others boot them.
set(FW_DISPATCH ${FW_PYTHON} -B ${CMAKE_CURRENT_SOURCE_DIR}/dispatch.py)
set(FW_DISPATCH_IMAGES ${CMAKE_CURRENT_BINARY_DIR}/dispatch)
set(FW_DISPATCH_RUN ${FW_DISPATCH} run --images ${FW_DISPATCH_IMAGES} --helpers ${FW_HELPER_DIR} --qemu ${FW_QEMU}
    --ovmf-vars ${FW_OVMF_VARS})

add_test(NAME firmware.dispatch.images
         COMMAND ${FW_DISPATCH} images --ffspack $<TARGET_FILE:ffspack> --driver ${EFI_IMAGE} --driver-ffs ${EFI_FFS}
                 --standin ${FW_HELPER_DIR}/standin.efi --ovmf-code ${FW_OVMF_CODE} --out ${FW_DISPATCH_IMAGES})
fw_test_properties(firmware.dispatch.images 30 FIXTURES_SETUP fw_dispatch)

foreach(scenario dispatched change_boot end_of_dxe)
  add_test(NAME firmware.dispatch.${scenario}
           COMMAND ${FW_DISPATCH_RUN} --work ${CMAKE_CURRENT_BINARY_DIR}/work/dispatch_${scenario} ${scenario})
  if(scenario MATCHES "^(change_boot|end_of_dxe)$")
    fw_test_properties(firmware.dispatch.${scenario} 15 FIXTURES_REQUIRED fw_dispatch)
  else()
    fw_test_properties(firmware.dispatch.${scenario} 7 FIXTURES_REQUIRED fw_dispatch)
  endif()
endforeach()

# A dependency expression that names a protocol no module installs: the
# driver is never dispatched, and the run says so and names the protocol.
add_test(NAME firmware.dispatch.missing_protocol
         COMMAND ${FW_DISPATCH_RUN} --firmware missing --work ${CMAKE_CURRENT_BINARY_DIR}/work/dispatch_missing
                 --expect-failure "BootCtlDxe was never dispatched: its dependency expression waits for 34802FFE-A064-4277-BDFA-2B91F579CA97, not installed"
                 dispatched)
fw_test_properties(firmware.dispatch.missing_protocol 7 FIXTURES_REQUIRED fw_dispatch)

# OVMF's SMM build (label smm): the driver dispatched from its DXE volume on
# a machine with SMRAM; what the driver's S3 code asks the real SMM base,
# communication and lock-box services and what they answer, the lock-box round
# trip, and the chipset hand-over to a handler OVMF does not have.
set(FW_OVMF_SMM_CODE /usr/share/OVMF/OVMF_CODE_4M.secboot.fd CACHE FILEPATH "OVMF code flash image with SMM")
add_test(NAME firmware.smm.images
         COMMAND ${FW_DISPATCH} images --kind smm --ffspack $<TARGET_FILE:ffspack> --driver ${EFI_IMAGE}
                 --driver-ffs ${EFI_FFS} --standin ${FW_HELPER_DIR}/standin_script.efi --ovmf-code ${FW_OVMF_SMM_CODE}
                 --out ${FW_DISPATCH_IMAGES})
fw_test_properties(firmware.smm.images 20 FIXTURES_SETUP fw_smm)
add_test(NAME firmware.smm.dispatched
         COMMAND ${FW_DISPATCH_RUN} --firmware smm --smm --work ${CMAKE_CURRENT_BINARY_DIR}/work/smm_dispatched smm)
fw_test_properties(firmware.smm.dispatched 7 FIXTURES_REQUIRED fw_smm)
set_tests_properties(firmware.smm.images firmware.smm.dispatched PROPERTIES LABELS "firmware;smm")

# UEFIExtract (package uefitool-cli) reads BootCtlDxe.ffs and the rebuilt
# OVMF images that carry it unchanged, and reports the file as the build made
# it. Looked up when the test runs: missing, the test fails.
add_test(NAME firmware.uefiextract
         COMMAND ${FW_PYTHON} -B ${CMAKE_CURRENT_SOURCE_DIR}/uefiextract_test.py --uefiextract UEFIExtract
                 --ffspack $<TARGET_FILE:ffspack> --image ${EFI_IMAGE} --ffs ${EFI_FFS}
                 --work ${CMAKE_CURRENT_BINARY_DIR}/work/uefiextract ${FW_DISPATCH_IMAGES}/dispatch.fd
                 ${FW_DISPATCH_IMAGES}/smm.fd)
set_tests_properties(firmware.uefiextract PROPERTIES LABELS "firmware;efi" TIMEOUT 120 COST 5
                                                     FIXTURES_REQUIRED "fw_dispatch;fw_smm")

# ovmfvol itself on small images of the same layout, without QEMU.
add_test(NAME firmware.ovmfvol COMMAND ${FW_PYTHON} -B ${CMAKE_CURRENT_SOURCE_DIR}/ovmfvol_test.py --ovmf-vars
                                       ${FW_OVMF_VARS})
set_tests_properties(firmware.ovmfvol PROPERTIES LABELS host TIMEOUT 60)
