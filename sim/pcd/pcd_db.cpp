#include "sim/pcd/pcd_db.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "support/debug/debug.h"

namespace sim {

PcdDatabase* PcdDatabase::active_ = nullptr;

namespace {

uint64_t SizeOf(PcdDatabase::Kind kind) {
  switch (kind) {
    case PcdDatabase::Kind::U8:
    case PcdDatabase::Kind::Bool:
      return 1;
    case PcdDatabase::Kind::U16:
      return 2;
    case PcdDatabase::Kind::U32:
      return 4;
    case PcdDatabase::Kind::U64:
      return 8;
    case PcdDatabase::Kind::Ptr:
      return 0;
  }
  return 0;
}

}  // namespace

PcdDatabase::PcdDatabase(Platform& platform) : platform_(platform) {
  protocol = {SetSku,  Get8,    Get16,         Get32,          Get64,        GetPtr,
              GetBool, GetSize, Set8,          Set16,          Set32,        Set64,
              SetPtr,  SetBool, CallbackOnSet, CancelCallback, GetNextToken, GetNextTokenSpace};
  active_ = this;
  platform.bootHooks.push_back([this](Platform& p) {
    current_ = declared_;
    active_ = this;
    if (installed) p.InstallProtocol(EFI_PCD_PROTOCOL_GUID, &protocol);
  });
}

PcdDatabase::~PcdDatabase() {
  if (active_ == this) active_ = nullptr;
}

PcdDatabase::Space* PcdDatabase::SpaceOf(std::vector<Space>& spaces, const EFI_GUID& guid) {
  for (Space& s : spaces) {
    if (s.guid == guid) return &s;
  }
  return nullptr;
}

void PcdDatabase::Declare(const EFI_GUID& space, uint64_t number, Kind kind, uint64_t value) {
  Space* s = SpaceOf(declared_, space);
  if (s == nullptr) {
    declared_.push_back({space, {}});
    s = &declared_.back();
  }
  for (Token& t : s->tokens) {
    if (t.number == number) {
      t = Token{number, kind, value, {}};
      current_ = declared_;
      return;
    }
  }
  s->tokens.push_back(Token{number, kind, value, {}});
  current_ = declared_;
}

void PcdDatabase::DeclarePtr(const EFI_GUID& space, uint64_t number, std::vector<uint8_t> bytes) {
  Declare(space, number, Kind::Ptr, 0);
  for (Token& t : SpaceOf(declared_, space)->tokens) {
    if (t.number == number) t.bytes = std::move(bytes);
  }
  current_ = declared_;
}

const PcdDatabase::Token* PcdDatabase::Find(const EFI_GUID& space, uint64_t number) const {
  for (const Space& s : current_) {
    if (s.guid != space) continue;
    for (const Token& t : s.tokens) {
      if (t.number == number) return &t;
    }
  }
  return nullptr;
}

std::vector<std::pair<EFI_GUID, PcdDatabase::Token>> PcdDatabase::Declared() const {
  std::vector<std::pair<EFI_GUID, Token>> out;
  for (const Space& s : declared_) {
    for (const Token& t : s.tokens) out.emplace_back(s.guid, t);
  }
  return out;
}

PcdDatabase::Token* PcdDatabase::Lookup(const EFI_GUID* space, uint64_t number) {
  if (space == nullptr) return nullptr;
  Space* s = SpaceOf(current_, *space);
  if (s == nullptr) return nullptr;
  for (Token& t : s->tokens) {
    if (t.number == number) return &t;
  }
  return nullptr;
}

// Reads of an unknown token or of a token of another width give 0, as the
// firmware's database does in a release build.
uint64_t PcdDatabase::GetNumber(const EFI_GUID* space, UINTN token, Kind kind) {
  if (active_ == nullptr) return 0;
  active_->gets++;
  Token* t = active_->Lookup(space, token);
  if (t == nullptr || t->kind != kind) return 0;
  return t->value;
}

EFI_STATUS PcdDatabase::Observed(const EFI_GUID* space, UINTN token, EFI_STATUS status) {
  if (active_ != nullptr && space != nullptr) {
    for (auto& observe : active_->setObservers) observe(*space, token, status);
  }
  return status;
}

EFI_STATUS PcdDatabase::SetNumber(const EFI_GUID* space, UINTN token, Kind kind, uint64_t value) {
  if (active_ == nullptr) return EFI_NOT_FOUND;
  active_->sets++;
  Token* t = active_->Lookup(space, token);
  if (t == nullptr) return Observed(space, token, EFI_NOT_FOUND);
  if (t->kind != kind) return Observed(space, token, EFI_INVALID_PARAMETER);
  t->value = value;
  char text[160];
  std::snprintf(text, sizeof(text), "PCD %s 0x%" PRIX64 " <- 0x%" PRIX64, GuidToString(*space).c_str(),
                static_cast<uint64_t>(token), value);
  active_->platform_.Trace(
      "PcdSet", text,
      {{"space", GuidToString(*space)}, {"token", std::to_string(token)}, {"value", std::to_string(value)}});
  return Observed(space, token, EFI_SUCCESS);
}

void EFIAPI PcdDatabase::SetSku(UINTN) {}
UINT8 EFIAPI PcdDatabase::Get8(const EFI_GUID* s, UINTN t) {
  return static_cast<UINT8>(GetNumber(s, t, Kind::U8));
}
UINT16 EFIAPI PcdDatabase::Get16(const EFI_GUID* s, UINTN t) {
  return static_cast<UINT16>(GetNumber(s, t, Kind::U16));
}
UINT32 EFIAPI PcdDatabase::Get32(const EFI_GUID* s, UINTN t) {
  return static_cast<UINT32>(GetNumber(s, t, Kind::U32));
}
UINT64 EFIAPI PcdDatabase::Get64(const EFI_GUID* s, UINTN t) { return GetNumber(s, t, Kind::U64); }
BOOLEAN EFIAPI PcdDatabase::GetBool(const EFI_GUID* s, UINTN t) { return GetNumber(s, t, Kind::Bool) != 0; }

void* EFIAPI PcdDatabase::GetPtr(const EFI_GUID* space, UINTN token) {
  if (active_ == nullptr) return nullptr;
  active_->gets++;
  Token* t = active_->Lookup(space, token);
  if (t == nullptr || t->kind != Kind::Ptr) return nullptr;
  return t->bytes.data();
}

UINTN EFIAPI PcdDatabase::GetSize(const EFI_GUID* space, UINTN token) {
  if (active_ == nullptr) return 0;
  active_->gets++;
  Token* t = active_->Lookup(space, token);
  if (t == nullptr) return 0;
  return t->kind == Kind::Ptr ? t->bytes.size() : SizeOf(t->kind);
}

EFI_STATUS EFIAPI PcdDatabase::Set8(const EFI_GUID* s, UINTN t, UINT8 v) {
  return SetNumber(s, t, Kind::U8, v);
}
EFI_STATUS EFIAPI PcdDatabase::Set16(const EFI_GUID* s, UINTN t, UINT16 v) {
  return SetNumber(s, t, Kind::U16, v);
}
EFI_STATUS EFIAPI PcdDatabase::Set32(const EFI_GUID* s, UINTN t, UINT32 v) {
  return SetNumber(s, t, Kind::U32, v);
}
EFI_STATUS EFIAPI PcdDatabase::Set64(const EFI_GUID* s, UINTN t, UINT64 v) {
  return SetNumber(s, t, Kind::U64, v);
}
EFI_STATUS EFIAPI PcdDatabase::SetBool(const EFI_GUID* s, UINTN t, BOOLEAN v) {
  return SetNumber(s, t, Kind::Bool, v != 0);
}

EFI_STATUS EFIAPI PcdDatabase::SetPtr(const EFI_GUID* space, UINTN token, UINTN* size, void* buffer) {
  if (active_ == nullptr) return EFI_NOT_FOUND;
  active_->sets++;
  Token* t = active_->Lookup(space, token);
  if (t == nullptr) return Observed(space, token, EFI_NOT_FOUND);
  if (t->kind != Kind::Ptr || size == nullptr || (buffer == nullptr && *size != 0))
    return Observed(space, token, EFI_INVALID_PARAMETER);
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  t->bytes.assign(p, p + *size);
  char text[160];
  std::snprintf(text, sizeof(text), "PCD %s 0x%" PRIX64 " <- %" PRIu64 " bytes", GuidToString(*space).c_str(),
                static_cast<uint64_t>(token), static_cast<uint64_t>(*size));
  active_->platform_.Trace("PcdSet", text,
                           {{"space", GuidToString(*space)},
                            {"token", std::to_string(token)},
                            {"size", std::to_string(*size)},
                            {"data", HexBytes(t->bytes)}});
  return Observed(space, token, EFI_SUCCESS);
}

EFI_STATUS EFIAPI PcdDatabase::CallbackOnSet(const EFI_GUID*, UINTN, PCD_PROTOCOL_CALLBACK) {
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI PcdDatabase::CancelCallback(const EFI_GUID*, UINTN, PCD_PROTOCOL_CALLBACK) {
  return EFI_UNSUPPORTED;
}

// 0 in gives the first token of the space; the last token gives 0.
EFI_STATUS EFIAPI PcdDatabase::GetNextToken(const EFI_GUID* space, UINTN* token) {
  if (active_ == nullptr || token == nullptr || space == nullptr) return EFI_INVALID_PARAMETER;
  active_->nextTokens++;
  Space* s = active_->SpaceOf(active_->current_, *space);
  if (s == nullptr || s->tokens.empty()) return EFI_NOT_FOUND;
  if (*token == 0) {
    *token = s->tokens.front().number;
    return EFI_SUCCESS;
  }
  for (size_t i = 0; i < s->tokens.size(); i++) {
    if (s->tokens[i].number == *token) {
      *token = i + 1 < s->tokens.size() ? s->tokens[i + 1].number : 0;
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

EFI_STATUS EFIAPI PcdDatabase::GetNextTokenSpace(const EFI_GUID** guid) {
  if (active_ == nullptr || guid == nullptr) return EFI_INVALID_PARAMETER;
  std::vector<Space>& spaces = active_->current_;
  if (*guid == nullptr) {
    if (spaces.empty()) return EFI_NOT_FOUND;
    *guid = &spaces.front().guid;
    return EFI_SUCCESS;
  }
  for (size_t i = 0; i < spaces.size(); i++) {
    if (spaces[i].guid == **guid) {
      *guid = i + 1 < spaces.size() ? &spaces[i + 1].guid : nullptr;
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

// ---------------------------------------------------------------- debug console

DebugConsole* DebugConsole::active_ = nullptr;

DebugConsole::DebugConsole(Platform& platform) : platform_(platform) {
  interface_.Message = OnMessage;
  active_ = this;
  platform.bootHooks.push_back([this](Platform& p) {
    active_ = this;
    if (installed) p.InstallProtocol(DebugMessageProtocolGuid, &interface_);
  });
}

DebugConsole::~DebugConsole() {
  if (active_ == this) active_ = nullptr;
}

EFI_STATUS EFIAPI DebugConsole::OnMessage(UINT64 level, const CHAR8* format, const void* arguments) {
  if (active_ == nullptr || format == nullptr) return EFI_INVALID_PARAMETER;
  const std::string text = Format(format, static_cast<const uint64_t*>(arguments));
  active_->messages.push_back({active_->platform_.BootNumber(), level, text});
  std::string line = text;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  active_->platform_.Trace("Debug", [level, line = std::move(line)](TraceEvent& e) {
    char levelText[32];
    std::snprintf(levelText, sizeof(levelText), "0x%" PRIX64, static_cast<uint64_t>(level));
    e.text = "DEBUG " + line;
    e.fields = {{"level", levelText}, {"message", line}};
  });
  return EFI_SUCCESS;
}

std::string DebugConsole::Format(const char* format, const uint64_t* slots) {
  std::string out;
  size_t next = 0;
  for (const char* p = format; *p != 0; p++) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    p++;
    bool left = false, zero = false;
    for (;; p++) {
      if (*p == '-')
        left = true;
      else if (*p == '0')
        zero = true;
      else if (*p == '+' || *p == ' ' || *p == ',')
        continue;
      else
        break;
    }
    int width = 0;
    while (*p >= '0' && *p <= '9') width = width * 10 + (*p++ - '0');
    bool wide64 = false;
    while (*p == 'l' || *p == 'L') {
      wide64 = true;
      p++;
    }
    if (*p == 0) break;
    std::string field;
    char buf[64];
    const uint64_t slot = (*p == '%') ? 0 : (slots != nullptr ? slots[next] : 0);
    switch (*p) {
      case 'd':
        std::snprintf(buf, sizeof(buf), "%" PRId64,
                      wide64 ? static_cast<int64_t>(slot) : static_cast<int64_t>(static_cast<int32_t>(slot)));
        field = buf;
        next++;
        break;
      case 'u':
        std::snprintf(buf, sizeof(buf), "%" PRIu64, wide64 ? slot : static_cast<uint32_t>(slot));
        field = buf;
        next++;
        break;
      case 'x':
      case 'X':
      case 'p':
        std::snprintf(buf, sizeof(buf), "%" PRIX64,
                      (wide64 || *p == 'p') ? slot : static_cast<uint32_t>(slot));
        field = buf;
        if (*p == 'p') width = 16, zero = true;
        if (*p == 'X' && width > 0) zero = true;
        next++;
        break;
      case 'c':
        field = std::string(1, static_cast<char>(slot & 0xFF));
        next++;
        break;
      case 'a':
        field = slot != 0 ? reinterpret_cast<const char*>(slot) : "<null string>";
        next++;
        break;
      case 's':
      case 'S': {
        const char16_t* w = reinterpret_cast<const char16_t*>(slot);
        if (w == nullptr)
          field = "<null string>";
        else
          for (; *w != 0; w++) field += static_cast<char>(*w & 0xFF);
        next++;
        break;
      }
      case 'g':
        field = slot != 0 ? GuidToString(*reinterpret_cast<const EFI_GUID*>(slot)) : "<null guid>";
        next++;
        break;
      case 'r':
        field = StatusName(slot);
        next++;
        break;
      default:
        field = std::string(1, *p);
        break;
    }
    if (static_cast<int>(field.size()) < width) {
      const std::string pad(width - field.size(), zero && !left ? '0' : ' ');
      field = left ? field + pad : pad + field;
    }
    out += field;
  }
  return out;
}

}  // namespace sim
