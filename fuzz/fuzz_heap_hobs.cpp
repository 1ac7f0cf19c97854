// Heap-buffer HOBs through the heap-buffer list constructor.
//
// Input: up to 16 GUID HOBs, each a name selector (even: the heap-buffer HOB
// GUID; odd: another GUID), then a block of data: the descriptor (signature,
// a word, PayloadSize, PoolKind, TakeFlag, two bytes) and whatever payload
// follows. PayloadSize is the producer's claim and may run past the HOB.
//
// Oracle: the list holds, in HOB order, one node for every heap-buffer HOB
// whose signature is "HEAP", whose TakeFlag is 1 and whose payload fits
// inside the HOB's own length; each node carries the descriptor and a byte
// copy of the payload, in runtime-services pool for PoolKind 8 and
// boot-services pool otherwise. No read outside the HOB list, no violation.
#include <cstring>

#include "fuzz/harness.h"
#include "s3/smm_services.h"

namespace {

const EFI_GUID kOther = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};

struct Hob {
  bool heap;
  std::vector<uint8_t> data;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  std::vector<Hob> hobs;
  while (!in.Done() && hobs.size() < 16) {
    const bool heap = (in.U8() & 1) == 0;
    std::vector<uint8_t> bytes = in.Bytes(in.U8());
    hobs.push_back({heap, std::move(bytes)});
  }
  fuzz::Lease lease;
  fuzz::Notebook& nb = lease.notebook;
  for (const Hob& h : hobs) nb.platform.AddGuidHob(h.heap ? HeapBufferHobGuid : kOther, h.data);
  nb.Start();
  nb.CheckClean();

  std::vector<std::vector<uint8_t>> want;
  std::vector<uint8_t> wantKinds;
  for (const Hob& h : hobs) {
    // The HOB's length covers its data rounded up to 8 bytes (zeros).
    std::vector<uint8_t> padded = h.data;
    padded.resize((padded.size() + 7) & ~size_t{7}, 0);
    if (!h.heap || padded.size() < 16) continue;
    uint32_t signature, payloadSize;
    std::memcpy(&signature, padded.data(), 4);
    std::memcpy(&payloadSize, padded.data() + 8, 4);
    if (signature != 0x50414548 || padded[13] != 1 || payloadSize > padded.size() - 16) continue;
    want.emplace_back(padded.begin() + 16, padded.begin() + 16 + payloadSize);
    wantKinds.push_back(padded[12]);
  }
  fuzz::Check(HeapBufferList != nullptr, "no list");
  std::vector<std::vector<uint8_t>> got;
  size_t i = 0;
  for (LIST_ENTRY* e = HeapBufferList->ForwardLink; e != HeapBufferList; e = e->ForwardLink, i++) {
    fuzz::Check(i < want.size(), "more nodes than heap-buffer HOBs to take");
    const auto* node = reinterpret_cast<const HeapBufferNode*>(e);
    const uint8_t* payload = reinterpret_cast<const uint8_t*>(node + 1);
    got.emplace_back(payload, payload + node->Descriptor.PayloadSize);
    fuzz::Check(node->Descriptor.PoolKind == wantKinds[i], "a node's descriptor is not its HOB's");
    bool typed = false;
    for (const sim::Allocation& a : nb.platform.OutstandingAllocations()) {
      if (a.address == node) {
        typed = a.type == (wantKinds[i] == 8 ? EfiRuntimeServicesData : EfiBootServicesData);
      }
    }
    fuzz::Check(typed, "a node is not in the pool its kind selects");
  }
  fuzz::Check(got == want, "the nodes' payloads are not the HOBs' payloads in order");
  return 0;
}
