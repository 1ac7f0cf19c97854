// sim/smm/: the SMM world. Models the SMM base protocol and the SMM system
// table with SMRAM of its own and its own protocol database (smm.h, internal),
// and, as boot-time code reaches it, SMM communication with its handlers: the
// lock-box service, the chipset S3 save handler, and the S3 records other
// modules publish. Records as violations: a double or foreign free in SMRAM;
// Communicate called with a This that is not the protocol's, after
// ExitBootServices, or with a buffer in unmapped memory or outside the
// communication regions; a malformed lock-box request, a store or restore
// that overruns its buffer; a malformed chipset S3 hand-over.
//
// The SMM side of the simulated platform as boot-time code reaches it:
// EFI_SMM_COMMUNICATION_PROTOCOL dispatching each message by its header GUID
// to an SMM handler, the communication-region configuration table, the SMM
// lock-box service, the chipset S3 save handler, and the S3 records that other
// firmware modules publish (PCDs, a boot-script table).
//
// Host only. The handlers are simulator code that runs inside Communicate, as
// an SMI handler runs while the caller waits; every request is decoded into
// the trace and kept for tests.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frame/pi.h"
#include "sim/pcd/pcd_db.h"
#include "sim/platform.h"

namespace sim {

extern const EFI_GUID kLockBoxHandlerGuid;         // {2A3CFEBD-27E8-4D0A-8B79-D688C2A3E1C0}
extern const EFI_GUID kChipsetS3SaveHandlerGuid;   // {5C4061F0-D051-4F43-BC23-5E5E89B3CEC0}
extern const EFI_GUID kCommRegionTableGuid;        // {4E28CA50-D582-44AC-A11F-E3D56526DB34}
extern const EFI_GUID kBootScriptPcdTokenSpace;    // {A1AFF049-FDEB-442A-B320-13AB4CB72BBC}
extern const EFI_GUID kChipsetS3LibPcdTokenSpace;  // {7788ADF0-9788-4A3F-83FA-CB512E7CF8DD}

// Copies between the simulator and memory the driver named without trusting
// the address: false, with nothing or part copied, when a byte of the range
// is not mapped (or, for a write, not writable). Size 0 succeeds. Used by the
// handlers so that an address the driver made up is a violation, not a crash.
bool HostRead(uint64_t address, void* out, uint64_t size);
bool HostWrite(uint64_t address, const void* in, uint64_t size);

// ---------------------------------------------------------------- communication
class SmmCommunication {
 public:
  // Gets the message (what follows the 24-byte header) and its length, which
  // it may change to the length of its answer; Communicate then writes that
  // length back into MessageLength and the whole size into *CommSize.
  using Handler = std::function<EFI_STATUS(uint8_t* message, uint64_t& size)>;

  // One communication buffer region of the region table. The simulator backs
  // each with zeroed page-aligned memory of its own (at least one page, at
  // most kMaxBackedPages, whatever `pages` says), so PhysicalStart is a real
  // address the driver may write to; NumberOfPages is `pages` as given.
  struct Region {
    uint32_t type = EfiConventionalMemory;
    uint64_t pages = 1;
  };
  static constexpr uint64_t kMaxBackedPages = 16;
  struct PublishedRegion {
    uint32_t type = 0;
    uint64_t address = 0;  // PhysicalStart
    uint64_t pages = 0;    // NumberOfPages
  };

  // Installs the protocol at the start of every boot unless `installed` is
  // false, and publishes the region table when one is configured.
  explicit SmmCommunication(Platform& platform);
  ~SmmCommunication();
  SmmCommunication(const SmmCommunication&) = delete;
  SmmCommunication& operator=(const SmmCommunication&) = delete;
  bool installed = true;

  // A later handler for the same GUID replaces the earlier one.
  void AddHandler(const EFI_GUID& guid, Handler handler);
  // A buffer the platform itself provides for messages (a PCD-named buffer):
  // accepted by the region check below.
  void AcceptBuffer(const void* buffer, uint64_t size);

  // ---- the communication-region table (GUID kCommRegionTableGuid)
  // Built form: header {version, entry count, descriptorSize, 0}, then one
  // EFI_MEMORY_DESCRIPTOR per region at descriptorSize stride (the bytes past
  // the 40-byte descriptor are zero). Published when `regionTable` is set.
  bool regionTable = false;
  std::vector<Region> regions;
  uint32_t descriptorSize = 48;  // sizeof(EFI_MEMORY_DESCRIPTOR) 40, padded as firmware does
  uint32_t regionTableVersion = 1;
  // Raw form: these bytes are published as the table instead of the built
  // form (for malformed tables); the region check is then off.
  std::optional<std::vector<uint8_t>> rawRegionTable;
  // With a built table published, a buffer handed to Communicate must lie
  // wholly in one of its regions (by NumberOfPages) or in an accepted buffer,
  // unless no conventional-memory region of the table can hold CommSize
  // bytes (the caller then had no region to use and may pass any buffer, as on
  // a platform without the table). Otherwise it is a violation; the message
  // is still delivered. Without a table every buffer is accepted.
  bool checkRegion = true;
  // The lock: at the platform's DXE SMM ready-to-lock (its own notification,
  // ahead of every driver's TPL_CALLBACK one) SMM stops taking buffers from
  // callers outside SMM that lie in memory the operating system gets back:
  // after it, a buffer that is not a reserved, runtime-services-data or ACPI
  // NVS allocation, a region of the table or an accepted buffer (a driver's
  // stack, globals or boot-services pool) is refused with EFI_ACCESS_DENIED
  // and left as it was. OVMF's SMM build answers so.
  bool lockAtReadyToLock = true;
  bool Locked() const { return locked_; }
  // This boot's table and regions (empty before the first boot or without a table).
  const std::vector<uint8_t>& RegionTable() const { return tableBytes_; }
  const std::vector<PublishedRegion>& Regions() const { return published_; }

  // ---- observation
  struct Call {
    unsigned boot = 0;
    EFI_GUID guid{};             // HeaderGuid; zero when the buffer was not read
    uint64_t messageLength = 0;  // as the caller gave it
    uint64_t commSize = 0;       // *CommSize as the caller gave it; 0 when CommSize was null
    EFI_STATUS status = 0;
  };
  std::vector<Call> calls;  // every Communicate call, over all boots
  EFI_SMM_COMMUNICATION_PROTOCOL protocol{};

 private:
  struct Entry {
    EFI_GUID guid;
    Handler handler;
  };
  struct Accepted {
    uint64_t address;
    uint64_t size;
  };
  struct PageDeleter {
    void operator()(uint8_t* p) const;
  };
  Platform& platform_;
  std::vector<Entry> handlers_;
  std::vector<Accepted> accepted_;
  std::vector<std::unique_ptr<uint8_t, PageDeleter>> backing_;
  std::vector<PublishedRegion> published_;
  std::vector<uint8_t> tableBytes_;  // what the configuration table points at
  bool locked_ = false;
  static SmmCommunication* active_;

  void BuildRegionTable();
  bool BufferInRegion(uint64_t address, uint64_t size) const;
  // A buffer SMM still takes from outside once it is locked.
  bool TakenAfterLock(uint64_t address, uint64_t size) const;
  EFI_STATUS Dispatch(void* buffer, UINTN* size);
  static EFI_STATUS EFIAPI Communicate(const EFI_SMM_COMMUNICATION_PROTOCOL* This, void* buffer, UINTN* size);
};

// ---------------------------------------------------------------- lock boxes
// The SMM lock-box service behind kLockBoxHandlerGuid. Request (offsets from
// the start of the communication buffer): Command UINT32 @24, RequestLength
// UINT32 @28, Result UINT64 @32, BoxGuid @40, DataAddress or Attributes
// UINT64 @56, DataLength UINT64 @64 (store and restore only). MessageLength
// and RequestLength are 48 for store (1) and restore (3), 40 for set
// attributes (4).
//
// Every request is traced (kind "LockBox"); a successful store also shows
// what the box holds: "boxLength" and "boxBytes" (hex) up to 64 bytes,
// "boxLength" and "boxCrc32" (the reflected CRC-32 of the bytes) above.
//
// Store keeps a copy of DataLength bytes at DataAddress and that address; a
// GUID already stored is refused with EFI_ALREADY_STARTED (a box is written
// once per boot, so code that runs later cannot replace what was sealed).
// Restore with DataAddress 0 and DataLength 0 copies the box back to the
// address it came from; with a buffer it copies when DataLength is at least
// the box size, else EFI_BUFFER_TOO_SMALL; either way DataLength returns the
// box size. Set attributes keeps bits 0 and 1. The attribute bits change
// nothing in what the service does at boot time.
//
// A box is restored in place only once set-attributes gave it bit 0
// (restore in place): before that an in-place restore is refused with
// EFI_WRITE_PROTECTED. Once SMM is locked (SmmCommunication::Locked), store
// and set-attributes from outside SMM are refused with EFI_ACCESS_DENIED;
// restore still works. The handler overwrites Command with all ones in every
// request it answers. OVMF's SMM build answers so.
//
// The boxes live in SMRAM, which the platform re-creates at every boot: they
// are cleared at the start of each boot (warm or cold), with the requests of
// earlier boots kept for inspection.
class LockBoxHandler {
 public:
  struct LockBox {
    std::vector<uint8_t> data;
    uint64_t address = 0;     // where the data was stored from
    uint64_t attributes = 0;  // bits 0 and 1
  };
  struct Request {
    unsigned boot = 0;
    uint32_t command = 0;
    uint32_t requestLength = 0;
    uint64_t messageLength = 0;
    EFI_GUID box{};
    uint64_t address = 0;     // DataAddress (store, restore)
    uint64_t length = 0;      // DataLength as sent (store, restore)
    uint64_t attributes = 0;  // Attributes (set attributes)
    uint64_t lengthOut = 0;   // DataLength written back (restore)
    EFI_STATUS result = 0;    // Result written back
    bool answered = false;    // false when the handler was silent
  };

  LockBoxHandler(Platform& platform, SmmCommunication& communication);
  ~LockBoxHandler();
  LockBoxHandler(const LockBoxHandler&) = delete;
  LockBoxHandler& operator=(const LockBoxHandler&) = delete;

  // The handler takes requests but writes nothing back (Result stays as the
  // caller preset it) and changes no box.
  bool silent = false;
  // Bytes all boxes together may hold (SMRAM is small); a store past it gets
  // EFI_OUT_OF_RESOURCES.
  uint64_t capacity = 4ull << 20;

  const LockBox* Find(const EFI_GUID& guid) const;
  size_t BoxCount() const { return boxes_.size(); }
  std::vector<Request> requests;  // over all boots

  // "store", "restore", "set-attributes" or "command N".
  static std::string CommandName(uint32_t command);

 private:
  struct Box {
    EFI_GUID guid;
    LockBox box;
  };
  Platform& platform_;
  SmmCommunication& communication_;
  std::vector<Box> boxes_;
  uint64_t stored_ = 0;
  EFI_STATUS Handle(uint8_t* message, uint64_t& size);
  Box* Lookup(const EFI_GUID& guid);
  EFI_STATUS Store(Request& r);
  EFI_STATUS Restore(Request& r);
  EFI_STATUS SetAttributes(Request& r);
  // `stored`: the box a store just filled, shown with the request.
  void TraceRequest(const Request& r, const std::vector<uint8_t>* stored);
};

// ---------------------------------------------------------------- chipset S3 save
// The chipset S3 save SMM handler behind kChipsetS3SaveHandlerGuid. Message
// (from the start of the 40-byte buffer): MessageLength 16, HandoverFunction
// UINT32 @24 = 1, reserved @28, RecordAddress UINT64 @32 naming the 16-byte
// private record {Locked @0, TableClosed @1, TableHeader UINT64 @8}. During
// Communicate it takes its copy of the table: the 48-byte header (Signature
// 0x54335341 "AS3T" @0, Version @4, BoundaryOffset @0x20, NextEntryOffset
// @0x28) and everything up to NextEntryOffset + 2, through the 0xFFFF end
// marker. What it can check it checks: the message form, a record and a
// table in mapped memory, the signature, NextEntryOffset from 0x30 to
// kMaxTable - 2, and the copy staying inside the allocation the table lies
// in when it is a pool or page allocation of the boot. A hand-over that fails
// a check is a violation and is kept with what could be read.
//
// It also owns a 64-byte buffer for the hand-over (the buffer that
// PcdChipsetS3LibCommBuffer names; see DeclareS3Pcds), accepted by the
// communication region check.
class ChipsetS3SaveHandler {
 public:
  static constexpr uint64_t kMaxTable = 1ull << 20;
  struct Handover {
    unsigned boot = 0;
    std::vector<uint8_t> message;  // the whole communication buffer as received (CommSize bytes, at most 64)
    std::vector<uint8_t> record;   // 16 bytes, or empty when unreadable
    std::vector<uint8_t> table;    // header through the end marker, or what could be read
    bool endMarker = false;        // the copy ends in FF FF
    std::string problem;           // empty for a sound hand-over
  };

  ChipsetS3SaveHandler(Platform& platform, SmmCommunication& communication);
  ~ChipsetS3SaveHandler();
  ChipsetS3SaveHandler(const ChipsetS3SaveHandler&) = delete;
  ChipsetS3SaveHandler& operator=(const ChipsetS3SaveHandler&) = delete;

  std::vector<Handover> handovers;  // over all boots
  uint64_t CommBufferAddress() const { return reinterpret_cast<uint64_t>(commBuffer_); }
  static constexpr uint64_t kCommBufferSize = 64;

 private:
  Platform& platform_;
  alignas(8) uint8_t commBuffer_[kCommBufferSize] = {};
  EFI_STATUS Handle(uint8_t* message, uint64_t& size);
};

// ---------------------------------------------------------------- S3 records and PCDs
// Declares the S3 PCD tokens as 64-bit values: PcdBootScriptRecord 0x30000
// and PcdBootScriptSmmRecord 0x30001 (both 0) in kBootScriptPcdTokenSpace;
// PcdChipsetS3LibPrivateData 0x27000 (0), PcdChipsetS3LibCommBuffer 0x27001
// (`commBuffer`, 0 for none), PcdChipsetS3LibTableHeader 0x27002 (0) and
// PcdChipsetS3LibTableSize 0x27003 (`tableSize`) in kChipsetS3LibPcdTokenSpace.
void DeclareS3Pcds(PcdDatabase& pcd, uint64_t commBuffer = 0, uint64_t tableSize = 0);

// "Another module created the boot-script table": a table of `pages` pages
// and a 24-byte BootScriptPrivateData below 4 GiB, published through
// PcdBootScriptRecord (0x30000, declared here with the record's address).
// At the start of every boot both are filled afresh: the table holds
// `scriptLength` bytes of script (a header with the opcode 0x00AA, its
// length 13, version 1 and the table length UINT32 at offset 5 =
// scriptLength, then entry bytes), the rest zero; the record holds
// TableAddress, ScriptLength and TablePages, every other field zero. A
// `scriptLength` of at most pages x 4096 - 3 leaves room for the terminator.
class PublishedBootScript {
 public:
  PublishedBootScript(Platform& platform, PcdDatabase& pcd, uint16_t pages, uint32_t scriptLength);
  ~PublishedBootScript();
  PublishedBootScript(const PublishedBootScript&) = delete;
  PublishedBootScript& operator=(const PublishedBootScript&) = delete;

  uint64_t TableAddress() const { return reinterpret_cast<uint64_t>(table_); }
  uint64_t RecordAddress() const { return reinterpret_cast<uint64_t>(record_); }
  uint8_t* Table() const { return table_; }
  uint8_t* Record() const { return record_; }
  size_t TableBytes() const { return static_cast<size_t>(pages_) * 4096; }
  // The script bytes a boot starts with (scriptLength bytes).
  std::vector<uint8_t> Script() const;

 private:
  uint16_t pages_;
  uint32_t scriptLength_;
  uint8_t* table_ = nullptr;
  uint8_t* record_ = nullptr;  // one page
  void Fill();
};

// "Another module published the SMM boot-script record": a 24-byte
// BootScriptPrivateData holding `bytes` (TableAddress @0, ScriptLength @8,
// TablePages @12, IsSmmCopy @14, RuntimePhase @15, BootTimeLength @16,
// Locked @20, ResumeCopy @21), published through PcdBootScriptSmmRecord
// (0x30001, declared here with the record's address) and filled afresh at
// every boot.
class PublishedSmmBootScriptRecord {
 public:
  static constexpr size_t kRecordSize = 24;
  // `bytes` must hold kRecordSize bytes.
  PublishedSmmBootScriptRecord(Platform& platform, PcdDatabase& pcd, std::vector<uint8_t> bytes);
  ~PublishedSmmBootScriptRecord();
  PublishedSmmBootScriptRecord(const PublishedSmmBootScriptRecord&) = delete;
  PublishedSmmBootScriptRecord& operator=(const PublishedSmmBootScriptRecord&) = delete;

  uint64_t Address() const { return reinterpret_cast<uint64_t>(record_); }
  const uint8_t* Record() const { return record_; }

 private:
  std::vector<uint8_t> bytes_;
  uint8_t* record_ = nullptr;  // one page below 4 GiB
};

// The boot-script table as sealing left it, seen through the shared record:
// once the ready-to-lock stage is over (as the boot manager's stage, or
// ready-to-boot without a boot manager, begins), the view reads
// PcdBootScriptRecord, the 24-byte record it names and the table the record
// names, and traces them (kind "BootScriptSeal"): the record's fields
// ("record", "tableAddress", "scriptLength", "tablePages", "isSmmCopy",
// "runtimePhase", "bootTimeLength", "locked", "resumeCopy") and the table up
// to the length its header holds (the UINT32 at offset 5, "tableLength", at
// most the table's pages): byte for byte ("tableBytes") up to 256 bytes, by
// CRC-32 ("tableCrc32") above, with the 3 bytes at ScriptLength
// ("terminator").
void WatchBootScriptSealing(Platform& platform, PcdDatabase& pcd);

// Another module writing fields of the chipset S3 table it found through
// PcdChipsetS3LibTableHeader, once the driver's entry has returned (as the
// End-of-DXE stage begins): the given values go to Signature (UINT32 @0),
// the boundary marker (UINT32 at the header's BoundaryOffset) and
// NextEntryOffset (UINT64 @0x28), in that order. Each write is traced (kind
// "S3TableWrite"); none is made past the table's allocation or without a table.
struct ChipsetS3TableWrites {
  std::optional<uint32_t> signature;
  std::optional<uint32_t> boundaryMarker;
  std::optional<uint64_t> nextEntryOffset;
};
void WriteChipsetS3TableAtEndOfDxe(Platform& platform, PcdDatabase& pcd, const ChipsetS3TableWrites& writes);

}  // namespace sim
