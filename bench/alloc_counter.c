// Counting allocator: every allocation entry point of the C library is
// replaced by one that forwards to the C library's own implementation and
// counts the call when the calling thread counts. operator new of the C++
// runtime allocates through malloc, so it is counted too. Thread-local state
// keeps the pseudo-terminal reader's and the console drain's threads out of
// the count of the thread that calls the module.
#include "alloc_counter.h"

#include <errno.h>
#include <stddef.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* block, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);
extern void __libc_free(void* block);

static _Thread_local int counting;
static _Thread_local unsigned long allocations;

static void note(void) {
  if (counting) ++allocations;
}

void rfid_alloc_count_begin(void) {
  allocations = 0;
  counting = 1;
}

unsigned long rfid_alloc_count_end(void) {
  counting = 0;
  return allocations;
}

void* malloc(size_t size) {
  note();
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  note();
  return __libc_calloc(count, size);
}

void* realloc(void* block, size_t size) {
  note();
  return __libc_realloc(block, size);
}

void* memalign(size_t alignment, size_t size) {
  note();
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
  note();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** result, size_t alignment, size_t size) {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  note();
  void* const block = __libc_memalign(alignment, size);
  if (block == NULL) return ENOMEM;
  *result = block;
  return 0;
}

void free(void* block) {
  __libc_free(block);
}
