#include "pin_memory.h"

#include "call_log.h"
#include "module_state.h"

#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <vector>

namespace p11mock {

std::string maskedText(const std::string& text) {
  std::string masked(text);
  for (char& ch : masked) ch = static_cast<char>(ch ^ kPinMask);
  return masked;
}

// Stores through a volatile pointer are never dropped.
void wipeText(std::string& text) {
  text.resize(text.capacity());
  volatile char* p = &text[0];
  for (size_t i = 0; i < text.size(); ++i) p[i] = 0;
  text.clear();
}

bool matchesMasked(const unsigned char* clear, size_t n, const std::string& masked) {
  if (n != masked.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < n; ++i)
    difference |= static_cast<unsigned char>((clear[i] ^ kPinMask) ^ static_cast<unsigned char>(masked[i]));
  return difference == 0;
}

namespace {

// Regions larger than this are the sanitizers' shadow memory, never a heap
// or a stack that could hold a PIN.
const uintptr_t kLargestScannedRegion = 64UL * 1024 * 1024;
const size_t kScanChunk = 1024 * 1024;

struct Region {
  uintptr_t start = 0;
  uintptr_t end = 0;
  std::string name;
};

std::vector<Region> writableRegions() {
  std::vector<Region> regions;
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    unsigned long start = 0, end = 0;
    char perms[8] = {};
    int nameAt = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx %7s %*s %*s %*s %n", &start, &end, perms, &nameAt) < 3) continue;
    if (perms[0] != 'r' || perms[1] != 'w' || end - start > kLargestScannedRegion) continue;
    Region r;
    r.start = start;
    r.end = end;
    r.name = nameAt > 0 ? line.substr(static_cast<size_t>(nameAt)) : std::string();
    if (r.name.empty()) r.name = "anonymous";
    regions.push_back(r);
  }
  return regions;
}

// Counts the places in `region` that hold `masked` unmasked. The memory is
// copied out with process_vm_readv, so poisoned bytes are read without a
// sanitizer report and unreadable pages are skipped; the copy is masked in
// place before it is searched, so no clear PIN is made from a masked one.
size_t clearCopies(const Region& region, const std::string& masked, unsigned char* buffer) {
  const size_t keep = masked.size() - 1;
  size_t count = 0, held = 0;
  for (uintptr_t at = region.start; at < region.end;) {
    size_t want = region.end - at < kScanChunk ? region.end - at : kScanChunk;
    struct iovec local = {buffer + held, want};
    struct iovec remote = {reinterpret_cast<void*>(at), want};
    ssize_t got = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
    if (got <= 0) {
      // An unreadable page: skip it and start afresh after it.
      at = (at | 4095) + 1;
      held = 0;
      continue;
    }
    size_t n = held + static_cast<size_t>(got);
    for (size_t i = held; i < n; ++i) buffer[i] ^= kPinMask;
    for (size_t i = 0; i + masked.size() <= n; ++i)
      if (std::memcmp(buffer + i, masked.data(), masked.size()) == 0) ++count;
    held = n < keep ? n : keep;
    std::memmove(buffer, buffer + n - held, held);
    at += static_cast<uintptr_t>(got);
  }
  return count;
}

}  // namespace

std::string pinCheck() {
  const size_t bufferSize = kScanChunk + 256;
  void* mapped = ::mmap(nullptr, bufferSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return "PIN check failed: no scan buffer";
  unsigned char* buffer = static_cast<unsigned char*>(mapped);
  const uintptr_t bufferStart = reinterpret_cast<uintptr_t>(buffer);
  size_t total = 0;
  std::string where;
  for (const Region& region : writableRegions()) {
    if (region.start < bufferStart + bufferSize && bufferStart < region.end) continue;  // the scan's own copy
    size_t found = 0;
    for (const Slot& slot : g.d.slots)
      if (!slot.pin.empty() && slot.pin.size() < 256) found += clearCopies(region, slot.pin, buffer);
    if (found) where += " " + region.name + " (" + decNum(found) + ")";
    total += found;
  }
  ::munmap(mapped, bufferSize);
  if (total) complain("the PIN is in writable memory:" + where);
  return "PIN copies in writable memory: " + decNum(total) + ", dumpable: " +
         std::to_string(::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0));
}

}  // namespace p11mock
