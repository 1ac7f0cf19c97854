// Host only: the driver's module-wide state set back to zero, as a freshly
// loaded image has it. For code that calls the driver sources in-process
// (unit tests, fuzz targets, zkboot's prediction) instead of loading the
// image afresh; every new module-wide value of the driver joins here.
#pragma once

#include "bootctl/chgboot.h"
#include "flash/fch.h"
#include "flash/flash_device.h"
#include "frame/helpers.h"
#include "frame/module.h"
#include "s3/bootscript.h"
#include "s3/chipset_s3.h"
#include "s3/flash_pointers.h"
#include "s3/lockbox.h"
#include "s3/smm_services.h"
#include "support/pcd/pcd.h"
#include "support/strings/strings.h"
#include "support/timer/timer.h"

inline void ResetDriverModuleState() {
  ImageHandle = nullptr;
  SystemTable = nullptr;
  BootServices = nullptr;
  RuntimeServices = nullptr;
  PlatformHookProtocol = nullptr;
  FirstBootFlag = 0;
  EndOfDxeEvent = nullptr;
  CachedHobList = nullptr;
  ChangeBootRequest[0] = ChangeBootRequest[1] = 0;
  ChangeBootRequestSize = 0;
  TscHz = 0;
  PcdProtocol = nullptr;
  BootScriptLib = {};
  LockBoxClient = {};
  ChipsetS3Lib = {};
  mChipsetS3LibPrivateData = nullptr;
  SmmServices = {};
  SmbusHc = nullptr;
  ListAnchor = nullptr;
  HeapBufferList = nullptr;
  DxeServices = nullptr;
  BootServicesEnded = false;
  PointerRegistry = nullptr;
  IsRuntimeImage = false;
  FchAccess = {};
  FlashDevice = {};
  CurrentFlashDevice = nullptr;
  FlashPointers = {};
  BootStrings = {};
}
