// The variable store behind GetVariable, SetVariable and GetNextVariableName.
// Variables are kept in creation order; non-volatile ones survive a reset.
#include <algorithm>
#include <cstring>
#include <string>

#include "sim/platform_impl.h"

namespace sim {

namespace {

constexpr uint32_t kKnownAttributes = 0x7F;

// `name` is the variable name in UTF-8, null for a null name.
std::vector<std::pair<std::string, std::string>> VariableFields(const std::string* name, const EFI_GUID* guid,
                                                                uint32_t attributes, uint64_t size,
                                                                EFI_STATUS status,
                                                                const std::vector<uint8_t>& data) {
  return {{"name", name ? *name : "(null)"}, {"guid", guid ? GuidToString(*guid) : "(null)"},
          {"attributes", Hex(attributes)},   {"size", std::to_string(size)},
          {"status", StatusName(status)},    {"data", HexBytes(data)}};
}

std::string VariableText(const char* service, const std::string* name, const EFI_GUID* guid,
                         uint32_t attributes, uint64_t size, EFI_STATUS status,
                         const std::vector<uint8_t>& data) {
  std::string text = std::string(service) + "(\"" + (name ? *name : "(null)") + "\", " +
                     (guid ? GuidToString(*guid) : "(null)") + ") = " + StatusName(status) +
                     " attributes=" + Hex(attributes) + " size=" + std::to_string(size);
  if (!data.empty()) text += " data=[" + HexBytes(data) + "]";
  return text;
}

// The name and GUID a variable call was made with, kept for its trace event
// (either may have been null). The name is kept in UTF-8, as the trace shows
// it: a name like "Boot0001" then needs no allocation of its own.
struct VariableCall {
  VariableCall(const CHAR16* n, const EFI_GUID* g)
      : hasName(n != nullptr),
        hasGuid(g != nullptr),
        name(n ? Utf16ToUtf8(n) : ""),
        guid(g ? *g : EFI_GUID{}) {}
  const std::string* Name() const { return hasName ? &name : nullptr; }
  const EFI_GUID* Guid() const { return hasGuid ? &guid : nullptr; }
  bool hasName, hasGuid;
  std::string name;
  EFI_GUID guid;
};

}  // namespace

Variable* Platform::Impl::LookupVariable(const char16_t* name, const EFI_GUID& guid) {
  const std::u16string_view wanted(name);
  for (Variable& v : variables) {
    if (v.name.size() == wanted.size() && v.guid == guid &&
        std::memcmp(v.name.data(), wanted.data(), wanted.size() * sizeof(char16_t)) == 0) {
      return &v;
    }
  }
  return nullptr;
}

bool Platform::Impl::Visible(const Variable& v) const {
  return !runtime || (v.attributes & EFI_VARIABLE_RUNTIME_ACCESS);
}

EFI_STATUS Platform::Impl::GetVariable(const CHAR16* name, const EFI_GUID* guid, UINT32* attributes,
                                       UINTN* dataSize, void* data) {
  ++owner->counters.varReads;
  const VariableStoreCosts& costs = owner->clock.costs.variables;
  serviceNs = costs.lookupNs;
  EFI_STATUS status;
  uint32_t foundAttributes = 0;
  uint64_t size = 0;
  std::vector<uint8_t> returned;
  const uint64_t bufferSize = dataSize ? *dataSize : 0;
  Variable* v = name && guid ? LookupVariable(name, *guid) : nullptr;
  if (!name || !guid || !dataSize) {
    status = EFI_INVALID_PARAMETER;
  } else if (!v || !Visible(*v)) {
    status = EFI_NOT_FOUND;
  } else {
    foundAttributes = v->attributes;
    size = v->data.size();
    if (*dataSize < size) {
      *dataSize = size;
      if (attributes) *attributes = foundAttributes;
      status = EFI_BUFFER_TOO_SMALL;
    } else if (!data && *dataSize != 0) {
      status = EFI_INVALID_PARAMETER;
    } else {
      if (size) std::memcpy(data, v->data.data(), size);
      *dataSize = size;
      if (attributes) *attributes = foundAttributes;
      if (owner->recordTrace) returned = v->data;
      status = EFI_SUCCESS;
      if (v->attributes & EFI_VARIABLE_NON_VOLATILE) {
        serviceNs = costs.ReadNs((v->name.size() + 1) * sizeof(char16_t), size);
      }
    }
  }
  // The hottest service: with the trace off, not even its captures are made.
  if (!owner->recordTrace) return status;
  owner->Trace("GetVariable", [call = VariableCall(name, guid), foundAttributes, size, status,
                               returned = std::move(returned), bufferSize](TraceEvent& e) {
    const std::string* n = call.Name();
    const EFI_GUID* g = call.Guid();
    e.text = VariableText("GetVariable", n, g, foundAttributes, size, status, returned) +
             " buffer=" + std::to_string(bufferSize);
    e.fields = VariableFields(n, g, foundAttributes, size, status, returned);
    e.fields.emplace_back("bufferSize", std::to_string(bufferSize));
  });
  return status;
}

uint64_t Platform::Impl::StoreUsed(bool nonVolatile) const {
  uint64_t used = 0;
  for (const Variable& v : variables) {
    if (((v.attributes & EFI_VARIABLE_NON_VOLATILE) != 0) == nonVolatile) {
      used += kVariableHeaderBytes + (v.name.size() + 1) * sizeof(char16_t) + v.data.size();
    }
  }
  return used;
}

EFI_STATUS Platform::Impl::QueryVariableInfo(UINT32 attributes, UINT64* maxStorage, UINT64* remaining,
                                             UINT64* maxSize) {
  if (!maxStorage || !remaining || !maxSize) return EFI_INVALID_PARAMETER;
  if ((attributes & (EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS)) == 0) {
    return EFI_INVALID_PARAMETER;
  }
  if ((attributes & EFI_VARIABLE_RUNTIME_ACCESS) && !(attributes & EFI_VARIABLE_BOOTSERVICE_ACCESS)) {
    return EFI_INVALID_PARAMETER;
  }
  if (runtime && !(attributes & EFI_VARIABLE_RUNTIME_ACCESS)) return EFI_INVALID_PARAMETER;
  if (attributes & ~kKnownAttributes) return EFI_INVALID_PARAMETER;
  const VariableStoreConfig& cfg = owner->store;
  const uint64_t used = StoreUsed(attributes & EFI_VARIABLE_NON_VOLATILE);
  *maxStorage = cfg.capacity;
  *remaining = used < cfg.capacity ? cfg.capacity - used : 0;
  *maxSize = cfg.maxVariableSize;
  return EFI_SUCCESS;
}

EFI_STATUS Platform::Impl::SetVariable(const CHAR16* name, const EFI_GUID* guid, UINT32 attributes,
                                       UINTN dataSize, const void* data) {
  bool nvChanged = false;
  const EFI_STATUS status = StoreVariable(name, guid, attributes, dataSize, data, &nvChanged);
  // May end the boot as hung or cut the power: the write is kept, and
  // nothing here owns memory any more when the boot unwinds.
  Spend(CostKind::VariableWrite, serviceNs);
  if (nvChanged) NvWritten();
  return status;
}

EFI_STATUS Platform::Impl::StoreVariable(const CHAR16* name, const EFI_GUID* guid, UINT32 attributes,
                                         UINTN dataSize, const void* data, bool* nvChangedOut) {
  const bool append = attributes & EFI_VARIABLE_APPEND_WRITE;
  const uint32_t access = attributes & (EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS);
  // A write without access attributes or without data deletes, unless it
  // appends.
  const bool deleting = !append && (access == 0 || dataSize == 0);
  ++(deleting ? owner->counters.varDeletes : owner->counters.varWrites);
  const uint32_t base = attributes & ~EFI_VARIABLE_APPEND_WRITE;
  bool& nvChanged = *nvChangedOut;
  const VariableStoreCosts& costs = owner->clock.costs.variables;
  serviceNs = costs.lookupNs;

  auto store = [&]() -> EFI_STATUS {
    if (!name || !guid || name[0] == 0) return EFI_INVALID_PARAMETER;
    if (dataSize && !data && !deleting) return EFI_INVALID_PARAMETER;
    if (attributes & ~kKnownAttributes) return EFI_INVALID_PARAMETER;
    if (attributes &
        (EFI_VARIABLE_AUTHENTICATED_WRITE_ACCESS | EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS)) {
      return EFI_UNSUPPORTED;  // no authenticated variables on this platform
    }
    if ((attributes & EFI_VARIABLE_RUNTIME_ACCESS) && !(attributes & EFI_VARIABLE_BOOTSERVICE_ACCESS)) {
      return EFI_INVALID_PARAMETER;
    }
    if ((attributes & EFI_VARIABLE_HARDWARE_ERROR_RECORD) && (attributes & kVarNvBsRt) != kVarNvBsRt) {
      return EFI_INVALID_PARAMETER;
    }
    if (append && access == 0) return EFI_INVALID_PARAMETER;
    // After ExitBootServices only non-volatile runtime variables can be written.
    if (runtime && access != 0 && (base & kVarNvBsRt) != kVarNvBsRt) return EFI_INVALID_PARAMETER;
    Variable* v = LookupVariable(name, *guid);
    // A boot-service variable is out of reach at runtime: it can be neither
    // replaced nor shadowed by a second entry of the same name.
    if (v && !Visible(*v)) return deleting ? EFI_NOT_FOUND : EFI_INVALID_PARAMETER;
    const bool nonVolatile =
        v ? (v->attributes & EFI_VARIABLE_NON_VOLATILE) != 0 : (base & EFI_VARIABLE_NON_VOLATILE) != 0;
    if (deleting) {
      if (!v) return EFI_NOT_FOUND;
      if (access != 0 && base != v->attributes) return EFI_INVALID_PARAMETER;
      if (nonVolatile && owner->store.writeProtected) return EFI_WRITE_PROTECTED;
      variables.erase(variables.begin() + (v - variables.data()));
      nvChanged = nonVolatile;
      if (nonVolatile) serviceNs = costs.DeleteNs();
      return EFI_SUCCESS;
    }
    if (v && base != v->attributes) return EFI_INVALID_PARAMETER;
    if (dataSize == 0) return EFI_SUCCESS;  // appending nothing
    const uint64_t nameBytes = (std::char_traits<char16_t>::length(name) + 1) * sizeof(char16_t);
    const uint64_t oldData = v ? v->data.size() : 0;
    const uint64_t newData = append ? oldData + dataSize : dataSize;
    if (nameBytes + newData > owner->store.maxVariableSize) return EFI_INVALID_PARAMETER;
    if (nonVolatile && owner->store.writeProtected) return EFI_WRITE_PROTECTED;
    const uint64_t oldBytes = v ? kVariableHeaderBytes + nameBytes + oldData : 0;
    const uint64_t newBytes = kVariableHeaderBytes + nameBytes + newData;
    if (StoreUsed(nonVolatile) - oldBytes + newBytes > owner->store.capacity) return EFI_OUT_OF_RESOURCES;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    if (v) {
      if (!append) v->data.clear();
      v->data.insert(v->data.end(), bytes, bytes + dataSize);
    } else {
      variables.push_back(Variable{name, *guid, base, std::vector<uint8_t>(bytes, bytes + dataSize)});
    }
    nvChanged = nonVolatile;
    if (nonVolatile) serviceNs = costs.WriteNs(nameBytes, newData, v != nullptr);
    return EFI_SUCCESS;
  };

  const EFI_STATUS status = store();
  if (!owner->recordTrace) return status;
  std::vector<uint8_t> written;
  if (data && dataSize && !deleting) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    written.assign(bytes, bytes + dataSize);
  }
  const char* kind = deleting ? "DeleteVariable" : "SetVariable";
  owner->Trace(kind, [kind, call = VariableCall(name, guid), attributes, dataSize, status,
                      written = std::move(written)](TraceEvent& e) {
    e.text = VariableText(kind, call.Name(), call.Guid(), attributes, dataSize, status, written);
    e.fields = VariableFields(call.Name(), call.Guid(), attributes, dataSize, status, written);
  });
  return status;
}

EFI_STATUS Platform::Impl::GetNextVariableName(UINTN* nameSize, CHAR16* name, EFI_GUID* guid) {
  if (!nameSize || !name || !guid) return EFI_INVALID_PARAMETER;
  const UINTN capacity = *nameSize / sizeof(CHAR16);
  const CHAR16* end = std::find(name, name + capacity, u'\0');
  if (end == name + capacity) return EFI_INVALID_PARAMETER;  // not terminated within the buffer
  size_t next = 0;
  if (end != name) {
    const std::u16string current(name, static_cast<size_t>(end - name));
    auto it = std::find_if(variables.begin(), variables.end(), [&](const Variable& v) {
      return v.name == current && v.guid == *guid && Visible(v);
    });
    if (it == variables.end()) return EFI_INVALID_PARAMETER;
    next = static_cast<size_t>(it - variables.begin()) + 1;
  }
  while (next < variables.size() && !Visible(variables[next])) ++next;
  if (next == variables.size()) return EFI_NOT_FOUND;
  const Variable& v = variables[next];
  const UINTN needed = (v.name.size() + 1) * sizeof(CHAR16);
  if (*nameSize < needed) {
    *nameSize = needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  std::memcpy(name, v.name.c_str(), needed);
  *guid = v.guid;
  *nameSize = needed;
  return EFI_SUCCESS;
}

void Platform::Impl::DropVolatileVariables() {
  variables.erase(
      std::remove_if(variables.begin(), variables.end(),
                     [](const Variable& v) { return !(v.attributes & EFI_VARIABLE_NON_VOLATILE); }),
      variables.end());
}

// ---------------------------------------------------------------- platform side

void Platform::PutVariable(const std::u16string& name, const EFI_GUID& guid, uint32_t attributes,
                           std::vector<uint8_t> data) {
  if (Variable* v = impl->LookupVariable(name.c_str(), guid)) {
    v->attributes = attributes;
    v->data = std::move(data);
  } else {
    impl->variables.push_back(Variable{name, guid, attributes, std::move(data)});
  }
}

const Variable* Platform::FindVariable(const std::u16string& name, const EFI_GUID& guid) const {
  return impl->LookupVariable(name.c_str(), guid);
}

std::vector<Variable> Platform::Variables() const { return impl->variables; }

void Platform::RemoveVariable(const std::u16string& name, const EFI_GUID& guid) {
  auto& vars = impl->variables;
  vars.erase(std::remove_if(vars.begin(), vars.end(),
                            [&](const Variable& v) { return v.name == name && v.guid == guid; }),
             vars.end());
}

}  // namespace sim
