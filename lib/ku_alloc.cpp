// SPDX-License-Identifier: MIT
// Memory homes: a hierarchical allocator.  This file makes and frees the blocks of a home.
//
// A home (ku_home_t) is a small record that points to its block table (ku_block_t): a header
// followed by an open-addressing hash table of entries (ku_alloc_t), one per allocation, keyed
// by the allocation's address.  Ending a home walks the table and frees every block in it.
// A sub-home is itself an allocation of its parent, entered with kua_home set, so it dies with
// the parent.  A home's preload area (small blocks are carved from it), its statistics record
// and its destructor hang off the table header and are carried over whenever the table grows.
// Every operation on a home runs under the home's internal mutex, when it has one (HomeLock).
// doc/homes.md maps the allocator's files.
#include "ku_alloc_slots.h"
#include "ku_alloc_track.h"

#include <ku/ku.h>

#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <gnu/libc-version.h>
#include <malloc.h>

namespace {

// ---- Workhorse ----

// Refuses a negative size, which the C library would read as a huge one: ENOMEM, as for one.
bool negative_size(int size) {
  if (size >= 0) return false;
  ku_seterrno(ENOMEM);
  return true;
}

// The size of n elements of size bytes into *bytes, or false with ENOMEM when the product
// overflows or reaches 2^31, the first size no block can have.  Checked before anything else,
// so a refused size is refused alike with a home and without one.
bool array_bytes(size_t n, size_t size, uint64_t *bytes) {
  size_t product;
  if (__builtin_mul_overflow(n, size, &product) || product >= kui::kSizeLimit) {
    ku_seterrno(ENOMEM);
    return false;
  }
  *bytes = product;
  return true;
}

// A home record that the allocator makes (a heap home or a sub-home) comes in one zero-filled
// heap block with its first table behind it: one heap call instead of two.  The table is marked
// kub_inrec, so that neither its replacement nor the teardown passes it to free(); it goes
// with the record.  Returns the record with kuh_size = size, or null.  Inline
// in kub_alloc: a sub-home is made in one call from ku_home_clone down to malloc.
[[gnu::always_inline]] inline ku_home_t *make_home_record(uint64_t size, ku_home_t *parent) {
  const uint64_t room = (size + 15) & ~uint64_t{15};
  auto *mem = static_cast<unsigned char *>(kui::zeroed(room + kui::table_bytes(kui::kFirstSlots)));
  if (!mem) return nullptr;
  auto *home = reinterpret_cast<ku_home_t *>(mem);
  auto *t = reinterpret_cast<ku_block_t *>(mem + room);
  t->kub_parent = parent;
  t->kub_ref = 1;
  t->kub_n = kui::kFirstSlots;
  t->kub_inrec = 1;
  home->kuh_size = static_cast<int>(size);
  home->kuh_blocks = t;
  return home;
}

// Makes one allocation of the home, whose internal lock the caller holds; t is the home's
// table as read under that lock.  May replace the table.
[[gnu::always_inline]] inline void *kub_alloc(ku_home_t *home, ku_block_t *t, uint64_t size,
                                              alloc_kind kind) {
  if (size >= kui::kSizeLimit) {
    ku_seterrno(ENOMEM);
    return nullptr;
  }
  if (size == 0) return nullptr;
  // Growing before the insertion keeps a free slot for it.
  t = kui::room_for_one(home, t);
  if (!t) return nullptr;

  void *mem = nullptr;
  bool carved = false;
  if (kind == alloc_home) {
    // The record comes with its table of 31 slots; the sub-home has no lock and no preload
    // area, whatever its parent has.
    mem = make_home_record(size, home);
    if (!mem) return nullptr;
    t->kub_auto_all = 0;
  } else {
    if (t->kub_preload) {
      const uint64_t end = kui::round8(t->kub_prused + size);
      if (end <= t->kub_prsize) {
        mem = static_cast<char *>(t->kub_preload) + t->kub_prused;
        t->kub_prused = static_cast<uint16_t>(end);
        carved = true;
        kui::mark_carved(mem, size);
        if (kind == alloc_zeroed) memset(mem, 0, size);
      }
    }
    if (!carved) {
      mem = kind == alloc_plain ? malloc(size) : calloc(1, size);
      if (!mem) return nullptr;
      t->kub_auto_all = 0;
    }
  }

  ku_alloc_t *e = ku_block_add(t, mem);
  e->kua_size = static_cast<uint32_t>(size);
  e->kua_home = kind == alloc_home;
  if (t->kub_stats) ku_home_stats_alloc(t, carved ? mem : nullptr, size, kind);
  return mem;
}

// The 0xAA fill of a freed block.  Blocks of 8 to 64 bytes, the common case, are covered by a
// few fixed-size stores that may overlap, rather than a call.
void fill_freed(void *data, uint32_t size) {
  static constexpr unsigned char kPattern[16] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,
                                                 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
  static_assert(kPattern[0] == kui::kFreedFill);
  auto *b = static_cast<unsigned char *>(data);
  if (size >= 8 && size <= 16) {
    memcpy(b, kPattern, 8);
    memcpy(b + size - 8, kPattern, 8);
  } else if (size > 16 && size <= 64) {
    memcpy(b, kPattern, 16);
    memcpy(b + size - 16, kPattern, 16);
    if (size > 32) {
      memcpy(b + 16, kPattern, 16);
      memcpy(b + size - 32, kPattern, 16);
    }
  } else {
    memset(b, kui::kFreedFill, size);
  }
  // The fill is there to be read by whoever gets the memory next: the compiler, which sees
  // free() come right after it, must not drop it as a dead store.
  asm volatile("" : : "r"(b) : "memory");
}

// Whether the program's malloc is glibc's own, so that glibc may be asked about the chunks it
// handed out (released_to_system).  Comparing malloc with __libc_malloc is not enough: tcmalloc
// and mimalloc export __libc_malloc and __libc_free as aliases of their own functions.  So each
// function the allocator calls must be defined in the shared object that defines
// gnu_get_libc_version, which only glibc does, and that object must not be the one this code
// lies in (a static link, where a program's own malloc would share it): that rules out a
// preloaded allocator, a sanitizer's and a program's own.  Valgrind redirects glibc's functions
// without changing their addresses, so glibc must also answer for a block of one byte as only
// it does: 24 usable bytes (Valgrind says 1, the other allocators 8 or 16).  Decided once, when
// the library is loaded; where dladdr cannot tell, the answer is no and every block is filled.
#if defined(__GLIBC__) && defined(__x86_64__)
const void *object_of(const void *fn) {
  Dl_info info{};
  return dladdr(fn, &info) != 0 ? info.dli_fbase : nullptr;
}

bool glibc_allocator() {
  void *(*m)(size_t) = malloc;
  void *(*c)(size_t, size_t) = calloc;
  void *(*r)(void *, size_t) = realloc;
  void (*f)(void *) = free;
  size_t (*u)(void *) = malloc_usable_size;
  // Kept from folding: the compiler may not assume what the names resolve to.
  asm("" : "+r"(m), "+r"(c), "+r"(r), "+r"(f), "+r"(u));
  const void *libc = object_of(reinterpret_cast<const void *>(&gnu_get_libc_version));
  if (!libc || libc == object_of(reinterpret_cast<const void *>(&glibc_allocator))) return false;
  for (const void *fn : {reinterpret_cast<const void *>(m), reinterpret_cast<const void *>(c),
                         reinterpret_cast<const void *>(r), reinterpret_cast<const void *>(f),
                         reinterpret_cast<const void *>(u)})
    if (object_of(fn) != libc) return false;
  void *probe = m(1);
  const size_t usable = probe ? u(probe) : 0;
  f(probe);
  return usable == 24;
}

const bool libc_heap = glibc_allocator();

// glibc maps no chunk below its mapping threshold, 128 KiB unless the program lowers it.
constexpr uint32_t kSizeUnmapped = 64 * 1024;
#endif

// Whether free() hands the pages of heap block data straight back to the system, so that no one
// can read a fill written there: glibc unmaps a chunk it mapped for itself at once.  Such a chunk
// is a whole number of pages less its 16-byte header, while a chunk of glibc's heap always has
// 8 usable bytes more than a multiple of 16.  Only blocks far larger than a page are asked
// about: the fill of the others costs less than the question.
bool released_to_system([[maybe_unused]] void *data, uint32_t size) {
#if defined(__GLIBC__) && defined(__x86_64__)
  return size >= kSizeUnmapped && libc_heap && (malloc_usable_size(data) + 16) % 4096 == 0;
#else
  (void)size;
  return false;
#endif
}

// Fills a heap block with 0xAA before free() gets it, unless the fill could never be read.
void fill_before_free(void *data, uint32_t size) {
  if (!released_to_system(data, size)) fill_freed(data, size);
}

// ---- Realloc ----

// Resizes a block from the C library entered at e; hole is the first empty slot that the
// lookup of data passed (ku_block_find).
void *realloc_heap(ku_block_t *t, ku_alloc_t *e, ku_alloc_t *hole, void *data, uint64_t want) {
  const uint32_t old = e->kua_size;
  void *p = realloc(data, want);
  if (!p) return nullptr;
  if (t->kub_stats) {
    ku_home_stats_free(t, nullptr, old);
    ku_home_stats_alloc(t, nullptr, want, alloc_zeroed);
  }
  if (p == data) {
    // Resized in place: the entry goes where clearing it and entering it again would put it.
    ku_alloc_t *slot = hole ? hole : e;
    if (slot != e) {
      kui::clear_entry(e);
      slot->kua_data = p;
    }
    slot->kua_size = static_cast<uint32_t>(want);
    return p;
  }
  kui::take_entry(t, e);
  ku_block_add(t, p)->kua_size = static_cast<uint32_t>(want);
  return p;
}

// Resizes a block carved from the preload area, entered at e.  Only the last one carved may give
// bytes back to the area or take more; another one that grows moves to the C library's heap.
void *realloc_carved(ku_block_t *t, ku_alloc_t *e, void *data, uint64_t want) {
  const uint32_t old = e->kua_size;
  const uint64_t off =
      static_cast<uint64_t>(static_cast<char *>(data) - static_cast<char *>(t->kub_preload));
  const bool last = kui::round8(off + old) == t->kub_prused;
  if (last ? kui::round8(off + want) <= t->kub_prsize : want < old) {
    if (t->kub_stats) {
      ku_home_stats_free(t, data, old);
      ku_home_stats_alloc(t, data, want, alloc_plain);
    }
    if (last) t->kub_prused = static_cast<uint16_t>(kui::round8(off + want));
    if (want > old)
      kui::mark_carved(static_cast<char *>(data) + old, want - old);
    else
      kui::mark_unused(static_cast<char *>(data) + want, kui::round8(old) - want);
    e->kua_size = static_cast<uint32_t>(want);
    return data;
  }

  void *p = malloc(want);
  if (!p) return nullptr;
  if (last) {
    t->kub_prused = static_cast<uint16_t>(off);
    if (t->kub_stats) ku_home_stats_free(t, data, old);
  }
  memcpy(p, data, want < old ? want : old);
  kui::mark_unused(data, kui::round8(old));
  if (t->kub_stats) ku_home_stats_alloc(t, nullptr, want, alloc_zeroed);
  kui::take_entry(t, e);
  ku_block_add(t, p)->kua_size = static_cast<uint32_t>(want);
  return p;
}

// ku_alloc and ku_zalloc, and their array calls, once the size is known to be below 2^31.
// call names the public call for the message about an ended home.
[[gnu::always_inline]] inline void *alloc_fresh(ku_home_t *home, uint64_t size, alloc_kind kind,
                                                const char *call) {
  if (!home) return kind == alloc_plain ? malloc(size) : calloc(1, size);
  kui::HomeLock g(home, call);
  return kub_alloc(home, g.table(), size, kind);
}

// Ends the sub-home entered at e in its parent's table t, whose lock g holds, and frees its
// record.  The entry leaves the parent, and the parent's lock is released, before the
// sub-home's teardown runs destructors: they may use the parent like any other home.
void end_subhome(kui::HomeLock &g, ku_block_t *t, ku_alloc_t *e) {
  auto *sub = static_cast<ku_home_t *>(e->kua_data);
  const uint32_t size = e->kua_size;
  // Parent before child: the sub-home's lock is taken while the parent's is held.
  kui::HomeLock sg(sub);
  ku_block_t *st = sg.table();
  assert(st && "ku_free: the sub-home has no block table");
  assert((!st || st->kub_ref != REF_MAX) && "ku_free: the sub-home's count is REF_MAX");
  if (!st || st->kub_ref == REF_MAX) return;
  if (t->kub_stats) ku_home_stats_free(t, nullptr, size);
  kui::take_entry(t, e);
  g.unlock();
  st->kub_ref = 0;
  _ku_home_deinit(sub);
  sg.hand_over();
  fill_before_free(sub, size);  // which leaves kEndedLock in the record's kuh_lock
  free(sub);
}

// ku_free.  The library's own calls come here rather than to ku_free, whose declaration names
// it the deallocator of the allocation calls: the compiler would take a block passed both to
// realloc() (a NULL home) and to it for a mismatch.
[[gnu::always_inline]] inline void free_block(ku_home_t *home, void *data, const char *call) {
  if (!data) return;
  if (!home) {
    free(data);
    return;
  }
  uint32_t size;
  {
    kui::HomeLock g(home, call);
    ku_block_t *t = g.table();
    assert(t && "ku_free: the home has no block table");
    if (!t) return;
    ku_alloc_t *e = ku_block_find(t, data);
    const int found = ku_alloc_check(t, e);
    if (!found) kui::foreign_block(home, t, data, call);
    assert(found && "ku_free: the address is not an allocation of this home");
    if (!found) return;
    if (e->kua_home) return end_subhome(g, t, e);

    size = e->kua_size;
    const bool preloaded = ku_is_preloaded(t, data);
    if (t->kub_stats) ku_home_stats_free(t, preloaded ? data : nullptr, size);
    kui::take_entry(t, e);
    // A carved block lies in the home's area, which the home's end frees: filled under the lock.
    if (preloaded) {
      fill_freed(data, size);
      kui::mark_unused(data, kui::round8(size));
      return;
    }
  }
  // A heap block whose entry is gone is the caller's alone: no other thread can reach it through
  // the home, and the home's end no longer frees it.  So its fill and free() run after the lock
  // is released, and threads that share the home do not wait for them.
  fill_before_free(data, size);
  free(data);
}

// ku_realloc and ku_realloc_array, once the size is known to be below 2^31.
[[gnu::always_inline]] inline void *resize(ku_home_t *home, void *data, uint64_t want,
                                           const char *call) {
  if (!home) return realloc(data, want);
  if (want == 0) {
    free_block(home, data, call);
    return nullptr;
  }
  kui::HomeLock g(home, call);
  ku_block_t *t = g.table();
  if (!data) return kub_alloc(home, t, want, alloc_plain);
  if (!t) return nullptr;
  ku_alloc_t *hole = nullptr;
  ku_alloc_t *e = ku_block_find(t, data, &hole);
  if (!ku_alloc_check(t, e) || e->kua_home) return nullptr;
  if (ku_is_preloaded(t, data)) return realloc_carved(t, e, data, want);
  return realloc_heap(t, e, hole, data, want);
}

// The lookup of ku_in_home and ku_home_check_alloc, inlined into both.
[[gnu::always_inline]] inline int holds(const ku_home_t *home, const void *data, const char *call) {
  if (!home || !data) return 0;
  kui::HomeLock g(home, call);
  ku_block_t *t = g.table();
  return t && ku_block_find(t, data) ? 1 : 0;
}

}  // namespace

// ---- Cross-file calls ----

ku_home_t *kui::new_home_record(uint64_t size, ku_home_t *parent) noexcept {
  return make_home_record(size, parent);
}

// A sub-home of parent with a record of size bytes (ku_home_clone), or null; a size of 2^31 or
// more is refused with ENOMEM.
void *kui::alloc_subhome(ku_home_t *parent, uint64_t size) noexcept {
  kui::HomeLock g(parent, "ku_home_clone");
  return kub_alloc(parent, g.table(), size, alloc_home);
}

// Ends a sub-home whose last reference is gone, in the home it is entered in now: parent is the
// one it had under its lock, but between the drop of its reference and the locking of the
// parent another thread may have moved it, which the loop follows.
void kui::end_unreferenced_subhome(ku_home_t *sub, ku_home_t *parent) noexcept {
  for (;;) {
    if (!parent) {
      // Detached meanwhile: it is a heap home of its own now.
      kui::HomeLock g(sub);
      if (!g.table()) return;
      _ku_home_deinit(sub);
      g.hand_over();
      kui::free_home_record(sub);
      return;
    }
    kui::HomeLock g(parent);
    ku_block_t *t = g.table();
    ku_alloc_t *e = t ? ku_block_find(t, sub) : nullptr;
    if (ku_alloc_check(t, e)) return end_subhome(g, t, e);
    // With the parent locked, nothing can take the sub-home out of it: if it still names this
    // parent, it was never entered there.
    ku_home_t *now = kui::parent_of(sub);
    assert(now != parent && "ku_home_unref: the sub-home is not entered in its parent");
    if (now == parent) return;
    parent = now;
  }
}

// ---- Public calls ----

extern "C" {

KU_API void *ku_alloc(ku_home_t *home, int size) {
  if (negative_size(size)) return nullptr;
  return alloc_fresh(home, static_cast<uint64_t>(size), alloc_plain, "ku_alloc");
}

KU_API void *ku_zalloc(ku_home_t *home, int size) {
  if (negative_size(size)) return nullptr;
  return alloc_fresh(home, static_cast<uint64_t>(size), alloc_zeroed, "ku_zalloc");
}

KU_API void *ku_salloc(ku_home_t *home, int size) {
  if (negative_size(size)) return nullptr;
  const int32_t stored = size < 4 ? 4 : size;
  void *p = alloc_fresh(home, static_cast<uint64_t>(stored), alloc_zeroed, "ku_salloc");
  if (p) memcpy(p, &stored, sizeof stored);
  return p;
}

KU_API void ku_free(ku_home_t *home, void *data) { free_block(home, data, "ku_free"); }

KU_API void *ku_realloc(ku_home_t *home, void *data, int size) {
  if (negative_size(size)) return nullptr;
  return resize(home, data, static_cast<uint64_t>(size), "ku_realloc");
}

KU_API void *ku_alloc_array(ku_home_t *home, size_t n, size_t size) {
  uint64_t bytes;
  return array_bytes(n, size, &bytes) ? alloc_fresh(home, bytes, alloc_plain, "ku_alloc_array")
                                      : nullptr;
}

KU_API void *ku_zalloc_array(ku_home_t *home, size_t n, size_t size) {
  uint64_t bytes;
  return array_bytes(n, size, &bytes) ? alloc_fresh(home, bytes, alloc_zeroed, "ku_zalloc_array")
                                      : nullptr;
}

KU_API void *ku_realloc_array(ku_home_t *home, void *data, size_t n, size_t size) {
  uint64_t bytes;
  return array_bytes(n, size, &bytes) ? resize(home, data, bytes, "ku_realloc_array") : nullptr;
}

KU_API int ku_in_home(ku_home_t *home, void const *data) { return holds(home, data, "ku_in_home"); }

KU_API int ku_home_check_alloc(ku_home_t const *home, void const *data) {
  return holds(home, data, "ku_home_check_alloc");
}

}  // extern "C"
