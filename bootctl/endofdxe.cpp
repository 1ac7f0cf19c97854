// End-of-DXE boot-control handler.
#include "bootctl/endofdxe.h"

#include "bootctl/chgboot.h"
#include "bootctl/ec.h"
#include "bootctl/vars.h"
#include "frame/helpers.h"
#include "frame/module.h"
#include "support/base/base.h"

namespace {

constexpr UINTN kLoadOptionDescriptionOffset = 6;

void WriteBootNext(UINT16 number) {
  RuntimeServices->SetVariable(kBootNext, &EFI_GLOBAL_VARIABLE, kVarNvBsRt, sizeof(number), &number);
}

// Reads the one-byte variable into *value; keeps its attributes.
EFI_STATUS ReadByteVariable(const CHAR16* name, const EFI_GUID* guid, UINT8* value, UINT32* attributes) {
  *value = 0;
  UINTN size = 1;
  return RuntimeServices->GetVariable(name, guid, attributes, &size, value);
}

// A prefix test over the text's characters only: they must lie inside the
// option, the description's terminator need not.
bool DescriptionStartsWith(const UINT8* option, UINTN optionSize, const CHAR16* text) {
  if (optionSize < kLoadOptionDescriptionOffset) {
    return false;
  }
  const UINTN available = (optionSize - kLoadOptionDescriptionOffset) / sizeof(CHAR16);
  const UINTN length = WideLength(text);
  if (available < length) {
    return false;
  }
  return WideCompareN(reinterpret_cast<const CHAR16*>(option + kLoadOptionDescriptionOffset), text, length) ==
         0;
}

// Reads Boot#### of each entry in order and stops at the first that matches.
template <typename Match>
void ScanOptions(const UINT16* order, UINTN count, Match matches) {
  CHAR16 name[kBootOptionNameChars];
  for (UINTN i = 0; i < count; i++) {
    BootOptionName(name, order[i]);
    UINTN size = 0;
    UINT8* option = static_cast<UINT8*>(ReadWholeVariable(name, &EFI_GLOBAL_VARIABLE, nullptr, &size));
    if (option == nullptr) {
      continue;
    }
    const bool found = matches(option, size);
    FreePool(option);
    if (found) {
      WriteBootNext(order[i]);
      return;
    }
  }
}

}  // namespace

void EFIAPI EndOfDxeHandler(EFI_EVENT event, void*) {
  if (event != nullptr) {
    BootServices->CloseEvent(event);
  }
  HandOverLidFlag();
  CountOobTest();

  UINT8 request = 0;
  if (EFI_ERROR(EcReadRegister(EC_REG_POWER_OFF_REQUEST, &request))) {
    return;
  }
  if (request == 1) {
    SetChgKeyMarker();
    if (EFI_ERROR(EcSendByte(EC_SC, WR_EC)) || EFI_ERROR(EcSendByte(EC_DATA, EC_REG_POWER_OFF_REQUEST))) {
      return;
    }
    EcSendByte(EC_DATA, 0x00);
    RuntimeServices->ResetSystem(EfiResetShutdown, EFI_SUCCESS, 0, nullptr);
    // A shutdown that came back must not go on to pick the next boot.
    return;
  }

  const UINT8 mode = ChangeBootRequest[1];
  if ((mode & kModeScanBit) != 0) {
    SelectBootNextByScan();
  } else if (mode == 1) {
    WriteBootNext(kBootNextMode1);
  } else if (mode == 2) {
    WriteBootNext(kBootNextMode2);
  }
}

void HandOverLidFlag(void) {
  UINT8 flag;
  UINT32 attributes = 0;
  if (EFI_ERROR(ReadByteVariable(kZkSaveLidFlag, &LidFlagVendorGuid, &flag, &attributes))) {
    return;
  }
  EcWriteRegister(EC_REG_LID_FLAG, flag);
  RuntimeServices->SetVariable(kZkSaveLidFlag, &LidFlagVendorGuid, attributes, 0, nullptr);
}

EFI_STATUS CountOobTest(void) {
  UINT8 counter;
  UINT32 attributes = 0;
  EFI_STATUS status = ReadByteVariable(kZkOobTest, &OobTestVendorGuid, &counter, &attributes);
  if (EFI_ERROR(status)) {
    EcWriteRegister(EC_REG_OOB_TEST, 1);
    return status;
  }
  if (counter > 1) {
    EcWriteRegister(EC_REG_OOB_TEST, 2);
    counter--;
    return RuntimeServices->SetVariable(kZkOobTest, &OobTestVendorGuid, attributes, sizeof(counter),
                                        &counter);
  }
  EcWriteRegister(EC_REG_OOB_TEST, 1);
  return RuntimeServices->SetVariable(kZkOobTest, &OobTestVendorGuid, attributes, 0, nullptr);
}

EFI_STATUS SetChgKeyMarker(void) {
  UINT8 marker = kChgKeyMarker;
  return RuntimeServices->SetVariable(kZkChgKey, &ChgKeyVendorGuid, kVarNvBsRt, sizeof(marker), &marker);
}

EFI_STATUS SelectBootNextByScan(void) {
  UINTN size = 0;
  UINT16* order = static_cast<UINT16*>(ReadWholeVariable(kBootOrder, &EFI_GLOBAL_VARIABLE, nullptr, &size));
  if (order == nullptr) {
    return EFI_NOT_FOUND;
  }
  const UINTN count = size / sizeof(UINT16);
  switch (ChangeBootRequest[1] & 0x7F) {
    case 1:
      FindOptionByDescription(order, count, u"EFI USB Device");
      break;
    case 2:
      FindOptionByDescription(order, count, u"EFI PXE 0 for IPv4");
      break;
    case 3:
      FindOptionByDevicePathNode(order, count, MEDIA_DEVICE_PATH, MEDIA_HARDDRIVE_DP);
      break;
    default:
      break;
  }
  FreePool(order);
  return EFI_SUCCESS;
}

EFI_STATUS FindOptionByDescription(const UINT16* order, UINTN count, const CHAR16* text) {
  ScanOptions(order, count,
              [text](const UINT8* option, UINTN size) { return DescriptionStartsWith(option, size, text); });
  return EFI_SUCCESS;
}

EFI_STATUS FindOptionByDevicePathNode(const UINT16* order, UINTN count, UINT8 type, UINT8 subType) {
  ScanOptions(order, count, [type, subType](const UINT8* option, UINTN size) {
    UINTN pathSize = 0;
    const EFI_DEVICE_PATH_PROTOCOL* path = LoadOptionDevicePath(option, size, &pathSize);
    return DevicePathHasNode(path, pathSize, type, subType) != 0;
  });
  return EFI_SUCCESS;
}

const EFI_DEVICE_PATH_PROTOCOL* LoadOptionDevicePath(const void* option, UINTN optionSize, UINTN* pathSize) {
  *pathSize = 0;
  if (option == nullptr || optionSize < kLoadOptionDescriptionOffset) {
    return nullptr;
  }
  const UINT8* bytes = static_cast<const UINT8*>(option);
  const UINTN chars = (optionSize - kLoadOptionDescriptionOffset) / sizeof(CHAR16);
  const UINTN length =
      WideLengthMax(reinterpret_cast<const CHAR16*>(bytes + kLoadOptionDescriptionOffset), chars);
  if (length == chars) {
    return nullptr;  // no terminator inside the option
  }
  const UINTN offset = kLoadOptionDescriptionOffset + (length + 1) * sizeof(CHAR16);
  *pathSize = optionSize - offset;
  return reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL*>(bytes + offset);
}

// Only the first instance of a multi-instance path is examined: its
// end-of-instance node ends the walk.
BOOLEAN DevicePathHasNode(const EFI_DEVICE_PATH_PROTOCOL* path, UINTN pathSize, UINT8 type, UINT8 subType) {
  if (path == nullptr) {
    return false;
  }
  const UINT8* node = reinterpret_cast<const UINT8*>(path);
  UINTN left = pathSize;
  while (left >= sizeof(EFI_DEVICE_PATH_PROTOCOL)) {
    const EFI_DEVICE_PATH_PROTOCOL* header = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL*>(node);
    if (PathIsEnd(header)) {
      return false;
    }
    const UINTN length = Load16(header->Length);
    if (length < sizeof(EFI_DEVICE_PATH_PROTOCOL) || length > left) {
      return false;
    }
    if (header->Type == type && header->SubType == subType) {
      return true;
    }
    node += length;
    left -= length;
  }
  return false;
}
