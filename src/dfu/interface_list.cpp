#include "dfu/interface_list.h"

#include <libusb.h>

#include <cstdlib>
#include <cstring>

#include "os/port.h"

namespace fcp::dfu {

void* AllocateZeroed(std::size_t size) {
  if (ListMemory* memory = fcp::os::InstalledPort<ListMemory>()) return memory->AllocateZeroed(size);
  return std::calloc(1, size);
}

char* DuplicateText(const char* text) {
  const std::size_t size = std::strlen(text) + 1;
  auto* copy = static_cast<char*>(AllocateZeroed(size));
  if (copy != nullptr) std::memcpy(copy, text, size);
  return copy;
}

void Free(void* memory) { std::free(memory); }

void FreeInterface(DfuInterface* entry) {
  if (entry == nullptr) return;
  if (entry->device != nullptr) libusb_unref_device(entry->device);
  Free(entry->name);
  Free(entry->alt_name);
  Free(entry->serial_name);
  Free(entry->location);
  Free(entry);
}

}  // namespace fcp::dfu

DfuInterface*& DFU_InterfaceListHead() {
  static DfuInterface* head = nullptr;
  return head;
}

void DFU_FreeInterfaceList() {
  DfuInterface*& head = DFU_InterfaceListHead();
  while (head != nullptr) {
    DfuInterface* next = head->next;
    fcp::dfu::FreeInterface(head);
    head = next;
  }
}
