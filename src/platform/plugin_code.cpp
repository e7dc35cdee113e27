#include "platform/plugin_code.h"

#include <dlfcn.h>
#include <link.h>

#include <atomic>
#include <cstring>

namespace dv {
namespace {

struct CodeSlot {
  // Written once before the slot is published, read-only afterwards.
  const void* library = nullptr;
  uintptr_t begin = 0;
  uintptr_t end = 0;  // one past the last byte
  char name[256] = {};
  std::atomic<bool> live{false};
};

CodeSlot g_slots[kPluginCodeSlots];
std::atomic<size_t> g_slotsUsed{0};

struct CodeSpan {
  const link_map* map;
  uintptr_t begin;
  uintptr_t end;
};

// The span from the first to the last executable load segment of the
// object `span->map` names.
int FindExecutableSpan(dl_phdr_info* info, size_t, void* data) {
  CodeSpan* span = static_cast<CodeSpan*>(data);
  if (info->dlpi_addr != span->map->l_addr || info->dlpi_name == nullptr ||
      std::strcmp(info->dlpi_name, span->map->l_name) != 0) {
    return 0;
  }
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD || (segment.p_flags & PF_X) == 0) continue;
    const uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
    const uintptr_t end = begin + segment.p_memsz;
    if (span->begin == span->end || begin < span->begin) span->begin = begin;
    if (end > span->end) span->end = end;
  }
  return 1;
}

}  // namespace

void RecordPluginCode(void* library, const char* name) {
  const size_t used = g_slotsUsed.load(std::memory_order_relaxed);
  link_map* map = nullptr;
  if (used == kPluginCodeSlots || dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
    return;
  }
  CodeSpan span{map, 0, 0};
  dl_iterate_phdr(FindExecutableSpan, &span);
  if (span.begin == span.end) return;
  CodeSlot& slot = g_slots[used];
  slot.library = library;
  slot.begin = span.begin;
  slot.end = span.end;
  std::strncpy(slot.name, name, sizeof slot.name - 1);
  slot.live.store(true, std::memory_order_relaxed);
  g_slotsUsed.store(used + 1, std::memory_order_release);  // publishes the slot whole
}

void ForgetPluginCode(void* library) {
  const size_t used = g_slotsUsed.load(std::memory_order_relaxed);
  for (size_t i = 0; i < used; ++i) {
    if (g_slots[i].library == library) g_slots[i].live.store(false, std::memory_order_release);
  }
}

const char* PluginHoldingCode(uintptr_t address) {
  const size_t used = g_slotsUsed.load(std::memory_order_acquire);
  // The latest live record wins: a library closed and another mapped at its
  // place is forgotten before the new one is recorded.
  for (size_t i = used; i-- > 0;) {
    const CodeSlot& slot = g_slots[i];
    if (slot.live.load(std::memory_order_acquire) && address >= slot.begin && address < slot.end) {
      return slot.name;
    }
  }
  return nullptr;
}

}  // namespace dv
